// SPDX-License-Identifier: MIT
// The one owner of a served unit: every exchange with it goes through an
// Access, which holds the unit's lock, so two clients' commands never mix
// on the wire. The lock is handed out in the order it was asked for, so a
// list sweep that takes it once per point lets every waiting client in
// between two points. A call that fails closes the unit; the next Access
// that needs it opens it again by its serial number, once it is back. The
// looks for it are spaced out more and more, up to kMaxReopenInterval.
#ifndef VONTREL_TOOLS_SERVE_UNIT_OWNER_H
#define VONTREL_TOOLS_SERVE_UNIT_OWNER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "include/vontrel.hpp"

namespace vontrel::serve {

// The longest pause between two looks for a unit that is not open.
inline constexpr auto kMaxReopenInterval = std::chrono::seconds(10);

// Where the server's log lines go.
using Log = std::function<void(const std::string &)>;

// A mutex granted first come, first served.
class FairMutex {
public:
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::uint64_t next_ = 0;
    std::uint64_t serving_ = 0;
};

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

class UnitOwner {
public:
    // Takes an open unit; its serial number is how it is found again.
    UnitOwner(vontrel::Unit unit, Log log);
    // A unit that could not be opened (in use by another program, or not
    // attached): its commands fail with `why` until it can be.
    UnitOwner(int serial, std::error_code why, Log log);
    ~UnitOwner();
    UnitOwner(const UnitOwner &) = delete;
    UnitOwner &operator=(const UnitOwner &) = delete;

    int serial() const { return serial_; }

    // The exclusive lock sessions take on this unit.
    SessionLock &session_lock() { return session_lock_; }

    // Why the unit is not open: "in use by another program", "not attached".
    std::string WhyNotOpen() const;

    // Exclusive use of the unit for as long as it lives.
    class Access {
    public:
        explicit Access(UnitOwner &owner) : owner_(owner), lock_(owner.mutex_) {}
        // Lets the unit go, then logs what happened to it meanwhile: nothing
        // is logged while the unit is held.
        ~Access();
        Access(const Access &) = delete;
        Access &operator=(const Access &) = delete;

        // Runs f(vontrel::Unit &) on the open unit, opening it again first
        // when it was lost. A std::system_error from f closes the unit and
        // is passed on; so is one from opening it.
        template <typename F>
        decltype(auto) Call(F &&f)
        {
            vontrel::Unit &unit = owner_.Open();
            try {
                return f(unit);
            } catch (const std::system_error &e) {
                owner_.Lost(e);
                throw;
            }
        }

        // Which connection's list sweep runs on the unit.
        ConnectionId sweeper() const { return owner_.sweeper_; }
        void set_sweeper(ConnectionId id)
        {
            owner_.sweeper_ = id;
            changed_ = true;
        }

        // Says that this access changes what the unit holds (or who holds
        // it): every front end watching the unit hears of it once the unit
        // is let go.
        void MarkChanged() { changed_ = true; }

    private:
        UnitOwner &owner_;
        std::unique_lock<FairMutex> lock_;
        bool changed_ = false;
    };

    // How many accesses have changed the unit so far.
    std::uint64_t changes();

    // Waits up to `timeout` for the count of changes to pass `seen`, and
    // returns the count then.
    std::uint64_t WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout);

private:
    vontrel::Unit &Open();
    void Lost(const std::system_error &e);

    FairMutex mutex_;
    SessionLock session_lock_;
    const int serial_;
    const Log log_;
    vontrel::Unit unit_;  // empty while lost
    bool was_open_ = false;
    std::error_code last_error_;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::milliseconds backoff_{0};  // between two looks for a lost unit
    ConnectionId sweeper_ = kNoSweep;
    std::vector<std::string> notes_;  // log lines kept until the unit is let go

    std::mutex changes_mutex_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
};

}  // namespace vontrel::serve

#endif
