// SPDX-License-Identifier: MIT
#include "service/session_lock.h"

#include <atomic>

namespace vontrel::service {

ConnectionId NewSessionId()
{
    static std::atomic<ConnectionId> next{kNoSweep + 1};
    return next++;
}

bool SessionLock::TryLock(ConnectionId session, const std::string &who)
{
    return Lock(session, who, std::chrono::milliseconds(0));
}

bool SessionLock::Lock(ConnectionId session, const std::string &who,
                       std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!released_.wait_for(lock, timeout,
                            [&] { return holder_ == kNoSweep || holder_ == session; })) {
        return false;
    }
    holder_ = session;
    who_ = who;
    return true;
}

bool SessionLock::Unlock(ConnectionId session)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (holder_ != session || session == kNoSweep) {
            return false;
        }
        holder_ = kNoSweep;
        who_.clear();
    }
    released_.notify_all();
    return true;
}

bool SessionLock::MayChange(ConnectionId session)
{
    return WaitUntilFree(session, std::chrono::milliseconds(0));
}

bool SessionLock::WaitUntilFree(ConnectionId session, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return released_.wait_for(lock, timeout,
                              [&] { return holder_ == kNoSweep || holder_ == session; });
}

std::string SessionLock::Holder()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return who_;
}

}  // namespace vontrel::service
