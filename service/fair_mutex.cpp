// SPDX-License-Identifier: MIT
#include "service/fair_mutex.h"

namespace vontrel::service {

void FairMutex::lock()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t ticket = next_++;
    turn_.wait(lock, [&] { return serving_ == ticket; });
}

void FairMutex::unlock()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++serving_;
    }
    turn_.notify_all();
}

}  // namespace vontrel::service
