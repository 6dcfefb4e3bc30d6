#include "link/handle_table.h"

#include <climits>
#include <cstdint>
#include <new>

namespace vontrel {

HandleTable &HandleTable::Instance()
{
    // Never destroyed: unloading the library does no work of its own, and a
    // late call from another thread during exit still finds a valid table.
    static HandleTable *const table = new HandleTable;
    return *table;
}

int HandleTable::Add(FT_HANDLE handle)
{
    if (fail_adds_) {
        throw std::bad_alloc();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    // At most units_.size() + 1 candidates are tried, so this ends.
    for (;;) {
        const int token = next_token_;
        next_token_ = next_token_ == INT_MAX ? 1 : next_token_ + 1;
        if (units_.find(token) == units_.end()) {
            units_.emplace(token, handle);
            return token;
        }
    }
}

std::optional<FT_HANDLE> HandleTable::Find(int token) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = units_.find(token);
    if (it == units_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<FT_HANDLE> HandleTable::Remove(int token)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = units_.find(token);
    if (it == units_.end()) {
        return std::nullopt;
    }
    FT_HANDLE handle = it->second;
    units_.erase(it);
    return handle;
}

std::size_t HandleTable::Size() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return units_.size();
}

std::optional<int> TokenFromArgument(void *handle)
{
    const auto value = reinterpret_cast<std::intptr_t>(handle);
    if (value < 1 || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::optional<FT_HANDLE> ResolveUnit(unsigned long *status, void *handle)
{
    std::optional<FT_HANDLE> unit;
    if (const auto token = TokenFromArgument(handle)) {
        unit = HandleTable::Instance().Find(*token);
    }
    if (!unit) {
        *status = FT_INVALID_HANDLE;
    }
    return unit;
}

}  // namespace vontrel
