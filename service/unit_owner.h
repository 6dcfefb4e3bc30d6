// SPDX-License-Identifier: MIT
// The one owner of a served unit: every exchange with it goes through an
// Access, which holds the unit's lock, so two clients' commands never mix
// on the wire. The lock is handed out in the order it was asked for, so a
// list sweep that takes it once per point lets every waiting client in
// between two points. A call that fails closes the unit; the next Access
// that needs it opens it again by its serial number, once it is back. The
// looks for it are spaced out more and more, up to kMaxReopenInterval.
#ifndef VONTREL_SERVICE_UNIT_OWNER_H
#define VONTREL_SERVICE_UNIT_OWNER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "include/vontrel.hpp"
#include "service/fair_mutex.h"
#include "service/session_lock.h"

namespace vontrel::service {

// The longest pause between two looks for a unit that is not open.
inline constexpr auto kMaxReopenInterval = std::chrono::seconds(10);

// Where the server's log lines go.
using Log = std::function<void(const std::string &)>;

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

}  // namespace vontrel::service

#endif
