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

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "include/vontrel.hpp"
#include "service/errors.h"
#include "service/fair_mutex.h"
#include "service/mains_power.h"
#include "service/session_lock.h"
#include "service/units_file.h"

namespace vontrel::service {

class PowerControl;

// The first pause between two looks for a unit (or mains switch) that is
// not open, doubled after each look that does not find it, up to the
// longest: a client that keeps sending commands to an unplugged unit does
// not make the server walk the converters (and open every free one) for
// every one of them.
inline constexpr auto kReopenInterval = std::chrono::milliseconds(200);
inline constexpr auto kMaxReopenInterval = std::chrono::seconds(10);

// The pause before the next look, after one that waited `last` (0 for the
// first).
inline std::chrono::milliseconds NextReopenInterval(std::chrono::milliseconds last)
{
    return std::min<std::chrono::milliseconds>(last.count() == 0 ? kReopenInterval : last * 2,
                                               kMaxReopenInterval);
}

// Where the server's log lines go.
using Log = std::function<void(const std::string &)>;

struct Unopened;

// The status code and the words for a unit that is not among those that
// opened, from the causes of the converters that did not open (this
// process's own excluded): "not attached" when there are none, the one's
// cause when there is one, each one's otherwise.
std::pair<unsigned long, std::string> NotOpenCause(const std::vector<Unopened> &candidates);

class UnitOwner {
public:
    // Takes an open unit; its serial number is how it is found again.
    // `config` is the unit's entry in the units file; `mains` (when not
    // null, outliving the owner) reaches the mains switch that powers it.
    UnitOwner(vontrel::Unit unit, Log log, UnitConfig config = {}, MainsPower *mains = nullptr);
    // A unit that could not be opened: its commands fail with `code` and
    // the words `why` ("not answering", "held by another program (pid 42,
    // vontrel)", "not attached", ...) until it can be.
    UnitOwner(int serial, std::error_code code, std::string why, Log log, UnitConfig config = {},
              MainsPower *mains = nullptr);
    ~UnitOwner();
    UnitOwner(const UnitOwner &) = delete;
    UnitOwner &operator=(const UnitOwner &) = delete;

    int serial() const { return serial_; }

    // What switches the unit off and on at its mains outlet (unit_power.h),
    // when the server has one; set before any front end runs.
    PowerControl *power() const { return power_; }
    void set_power(PowerControl *power) { power_ = power; }

    // What the units file says of this unit.
    const UnitConfig &config() const { return config_; }
    // The mains switch, or null when this program drives none.
    MainsPower *mains() const { return mains_; }

    // The exclusive lock sessions take on this unit.
    SessionLock &session_lock() { return session_lock_; }

    // Why the unit is not open, as the last look for it found: the cause of
    // the converter it must be behind ("not answering", "held by another
    // program (pid 42, vontrel)", ...), "not attached", or what failed.
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
        // is passed on; so is one from opening it. A unit switched off at
        // its mains outlet is not reached: Refusal (kUnitFailed) says so.
        template <typename F>
        decltype(auto) Call(F &&f)
        {
            if (!owner_.off_why_.empty()) {
                throw Refusal(Reason::kUnitFailed, owner_.off_why_);
            }
            vontrel::Unit &unit = owner_.Open();
            try {
                return f(unit);
            } catch (const std::system_error &e) {
                owner_.Lost(e);
                throw;
            }
        }

        // The serial number of the unit held.
        int serial() const { return owner_.serial(); }

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

        // The unit is switched off at its mains outlet (unit_power.h): from
        // now on every Call is refused with `why`, until PowerOn().
        void PowerOff(std::string why)
        {
            const std::lock_guard<std::mutex> lock(owner_.why_mutex_);
            owner_.off_why_ = std::move(why);
            changed_ = true;
        }
        void PowerOn()
        {
            {
                const std::lock_guard<std::mutex> lock(owner_.why_mutex_);
                owner_.off_why_.clear();
            }
            LookNow();
            changed_ = true;
        }
        bool powered_off() const { return !owner_.off_why_.empty(); }

        // The next Call looks for a lost unit at once, however long the
        // pause between looks has grown: it was just powered up.
        void LookNow()
        {
            owner_.next_attempt_ = {};
            owner_.backoff_ = std::chrono::milliseconds(0);
        }

        const UnitConfig &config() const { return owner_.config_; }
        MainsPower *mains() const { return owner_.mains_; }
        PowerControl *power() const { return owner_.power_; }

        // While OUTPut OFF keeps the unit muted: the settings it had, whose
        // mode, level and attenuation OUTPut ON brings back (output_state.h).
        std::optional<vontrel::Settings> &muted_from() { return owner_.muted_from_; }

    private:
        UnitOwner &owner_;
        std::unique_lock<FairMutex> lock_;
        bool changed_ = false;
    };

    // How many accesses have changed the unit so far; the unit lost or
    // opened again counts as a change too, since what it holds may differ.
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
    const UnitConfig config_;
    MainsPower *const mains_;
    std::optional<vontrel::Settings> muted_from_;
    vontrel::Unit unit_;  // empty while lost
    bool was_open_ = false;
    std::error_code last_error_;
    // Front ends ask why while the unit is in use: why_ and off_why_ are
    // written under this as well as under the unit's lock.
    mutable std::mutex why_mutex_;
    std::string why_;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::milliseconds backoff_{0};  // between two looks for a lost unit
    ConnectionId sweeper_ = kNoSweep;
    bool came_or_went_ = false;  // lost or opened again during this access
    std::string off_why_;        // why it is not reached: switched off at its outlet
    PowerControl *power_ = nullptr;
    std::vector<std::string> notes_;  // log lines kept until the unit is let go

    std::mutex changes_mutex_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
};

}  // namespace vontrel::service

#endif
