// SPDX-License-Identifier: MIT
#include "mains/switch_table.h"

#include <climits>

#include "include/vontrel_mains.h"

namespace vontrel::mains {

SwitchTable &SwitchTable::Instance()
{
    static auto *table = new SwitchTable;  // outlives every call, even at exit
    return *table;
}

std::optional<int> SwitchTable::Add(FT_HANDLE handle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (open_.size() >= VONTREL_MAINS_MAX_OPEN) {
        return std::nullopt;
    }
    // Handles grow with every open and wrap only after INT_MAX of them, so
    // a handle kept after its close is refused, not taken for another.
    while (open_.count(next_) != 0) {
        next_ = next_ == INT_MAX ? 1 : next_ + 1;
    }
    const int token = next_;
    next_ = next_ == INT_MAX ? 1 : next_ + 1;
    open_.emplace(token, std::make_shared<OpenSwitch>(handle));
    return token;
}

std::shared_ptr<OpenSwitch> SwitchTable::Find(int handle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(handle);
    return it != open_.end() ? it->second : nullptr;
}

std::shared_ptr<OpenSwitch> SwitchTable::Remove(int handle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(handle);
    if (it == open_.end()) {
        return nullptr;
    }
    std::shared_ptr<OpenSwitch> taken = std::move(it->second);
    open_.erase(it);
    return taken;
}

}  // namespace vontrel::mains
