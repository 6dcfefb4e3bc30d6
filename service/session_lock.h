// SPDX-License-Identifier: MIT
// Sessions on a unit, numbered across every front end, and the one
// exclusive lock a session may take on a unit.
#ifndef VONTREL_SERVICE_SESSION_LOCK_H
#define VONTREL_SERVICE_SESSION_LOCK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace vontrel::service {

// A session on a unit: a raw connection, a VXI-11 link, or any other
// front end's client. Every front end takes its ids from NewSessionId(),
// so that two sessions never share one. kNoSweep (0) is never handed out:
// it stands for "no session" (no list sweep, no lock holder).
using ConnectionId = std::uint64_t;
inline constexpr ConnectionId kNoSweep = 0;
ConnectionId NewSessionId();

// The one exclusive lock on a unit that a session may take, whatever its
// front end. While a session holds it, the others' commands that change
// the unit are refused (the Instrument enforces it); their queries run.
class SessionLock {
public:
    // Grants the lock to `session` when nobody else holds it (true), also
    // when it holds it already. `who` names the holder for OWNer?.
    bool TryLock(ConnectionId session, const std::string &who);
    // As TryLock, waiting up to `timeout` for the holder to let it go.
    bool Lock(ConnectionId session, const std::string &who, std::chrono::milliseconds timeout);
    // Lets the lock go; false when `session` did not hold it.
    bool Unlock(ConnectionId session);
    // Whether `session` may change the unit: nobody else holds the lock.
    bool MayChange(ConnectionId session);
    // Waits up to `timeout` until MayChange(session); returns it.
    bool WaitUntilFree(ConnectionId session, std::chrono::milliseconds timeout);
    // Who holds it ("" when nobody does).
    std::string Holder();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    ConnectionId holder_ = kNoSweep;
    std::string who_;
};

}  // namespace vontrel::service

#endif
