// SPDX-License-Identifier: MIT
// Switching served units off and on at the mains outlets the units file
// maps them to (`power`), for every front end alike: OUTPut OFF and ON on
// a unit whose "output_off" is "mains", an outlet switched as such (the
// MAINS commands, the web panel), a power cycle, and, when asked for, a
// power cycle of a unit that has stopped answering.
//
// Off reads the settings the unit holds (when it answers), then switches
// its outlet off; from then on its owner refuses its commands, saying it
// is switched off. On switches the outlet on, waits up to the unit's
// "boot_s" for it to answer and programs the settings it had at Off: it
// comes back as it was, not at its power-up settings.
#ifndef VONTREL_SERVICE_UNIT_POWER_H
#define VONTREL_SERVICE_UNIT_POWER_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "include/vontrel.hpp"
#include "service/mains_power.h"
#include "service/session_lock.h"
#include "service/unit_owner.h"
#include "service/units_file.h"

namespace vontrel::service {

// How long a power cycle keeps a unit off unless told otherwise: long
// enough for its supply to drain.
inline constexpr auto kDefaultCycleOff = std::chrono::seconds(5);

// The revival of units that stop answering: how often each mapped unit is
// looked at, and how many looks in a row must fail before it is cycled.
inline constexpr auto kReviveLook = std::chrono::seconds(5);
inline constexpr int kReviveAfterFailures = 2;

class PowerControl {
public:
    PowerControl(MainsPower &mains, UnitsFile units, Log log);
    ~PowerControl();  // stops the revival
    PowerControl(const PowerControl &) = delete;
    PowerControl &operator=(const PowerControl &) = delete;

    // A served unit; its units-file entry says whether an outlet powers it.
    void Add(UnitOwner &owner);

    MainsPower &mains() { return mains_; }
    const UnitsFile &units() const { return units_; }

    // The outlet that powers unit `serial`, when its entry names one.
    std::optional<PowerOutlet> OutletOf(int serial) const;
    // Whether OUTPut OFF switches the unit's outlet off ("output_off":
    // "mains").
    bool SwitchesOutput(int serial) const;

    // Whether the unit's outlet is on, read from the switch. Throws
    // Refusal (no outlet mapped, no such switch) or std::system_error.
    bool IsOn(int serial);

    // Off, On and a cycle of the unit whose Access the caller holds.
    // Refusal (kValueRefused) when no outlet is mapped to it; On throws
    // Refusal (kUnitFailed) when the unit does not answer within its
    // boot_s (the outlet stays on).
    // `keep`: the settings to bring back at On instead of those read now
    // (the revival's, from when the unit last answered).
    void Off(UnitOwner::Access &access, std::optional<Settings> keep = std::nullopt);
    void On(UnitOwner::Access &access);
    void Cycle(UnitOwner::Access &access, std::chrono::milliseconds off_time);

    // An outlet switched as such: each served unit it powers is switched
    // off or on as by Off and On, one after another. Before anything is
    // switched, refused (Refusal kConflict) when another session holds the
    // lock of a unit it powers or runs a list sweep on it. `session` asks.
    void SetOutlet(const PowerOutlet &outlet, bool on, ConnectionId session);

    // The served units an outlet powers.
    std::vector<UnitOwner *> Powered(const PowerOutlet &outlet);

    // Power-cycles a mapped unit that has stopped answering (it answered
    // here before, its outlet is on, and it fails kReviveAfterFailures
    // looks in a row, `look` apart; off for `off_time`), at most
    // `per_hour` times an hour each, restoring the settings it last had;
    // each cycle, and each one not made for the limit, goes to the log.
    void StartRevival(int per_hour, std::chrono::milliseconds look = kReviveLook,
                      std::chrono::milliseconds off_time = kDefaultCycleOff);

private:
    struct Served {
        UnitOwner *owner;
        std::optional<Settings> kept;  // what it held before it was switched off
        std::optional<Settings> last;  // what the revival last read
        int failures = 0;
        std::vector<std::chrono::steady_clock::time_point> cycles;  // in the last hour
        bool limit_logged = false;
    };
    Served &Of(int serial);
    PowerOutlet Mapped(int serial) const;
    bool SameOutlet(const PowerOutlet &a, const PowerOutlet &b);
    void Revive();

    MainsPower &mains_;
    const UnitsFile units_;
    const Log log_;
    std::mutex mutex_;  // guards served_'s entries
    std::map<int, Served> served_;

    int per_hour_ = 0;
    std::chrono::milliseconds look_ = kReviveLook;
    std::chrono::milliseconds revive_off_ = kDefaultCycleOff;
    std::mutex revive_mutex_;
    std::condition_variable revive_wake_;
    bool stopping_ = false;
    std::thread reviver_;
};

}  // namespace vontrel::service

#endif
