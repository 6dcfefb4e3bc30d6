// SPDX-License-Identifier: MIT
// A list sweep that the server times itself: each point is programmed
// under the unit's lock, which is let go again for the dwell, so other
// clients wait at most one point's exchanges for the unit.
#ifndef VONTREL_SERVICE_LIST_SWEEP_H
#define VONTREL_SERVICE_LIST_SWEEP_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/errors.h"
#include "service/level_units.h"
#include "service/unit_owner.h"

namespace vontrel::service {

// The points of one sweep, as many as its longest list. Each list is empty
// (frequencies, levels: left alone), one value for every point, or one per
// point; dwells are never empty. A sweep of levels at a fixed frequency
// has no frequencies. With bus_trigger, each point waits for a Trigger()
// before it is programmed.
struct SweepPlan {
    std::vector<double> frequencies_mhz;
    std::vector<double> levels;
    std::vector<double> dwells_s;
    bool bus_trigger = false;
    // Once a sweep has run to its end (and does not start over), its first
    // point is programmed again.
    bool retrace = false;
    // How its refusals show levels.
    LevelScale scale;
    // When set, each point waits for lock once programmed (up to
    // VONTREL_LOCK_TIMEOUT_DEFAULT_S, before its dwell) and is then handed
    // to it: its index, frequency and the milliseconds lock took (none: no
    // lock within the time-out).
    std::function<void(std::size_t, double, std::optional<double>)> on_point;
    // When set, called last on the sweep's thread, once Running() is false,
    // so that whoever shows the sweep learns it has ended.
    std::function<void()> on_end;

    // The number of points: the length of the longest list.
    std::size_t Points() const { return std::max(frequencies_mhz.size(), levels.size()); }
};

class ListSweep {
public:
    // An error met on the way: the sweep stops there.
    using Report = std::function<void(Reason reason, const std::string &detail)>;
    // Called on the sweep's thread when it has ended, however it ended.
    using Done = std::function<void()>;

    ListSweep() = default;
    ListSweep(const ListSweep &) = delete;
    ListSweep &operator=(const ListSweep &) = delete;
    ~ListSweep() { Abort(); }

    // Runs `plan` on its own thread, once, or pass after pass while
    // continuous. The caller has made `id` the unit's sweeper; the sweep
    // gives the unit back when it ends. Not while Running().
    void Start(UnitOwner &owner, ConnectionId id, SweepPlan plan, bool continuous, Report report,
               Done done);

    bool Running();

    // Whether the running sweep starts another pass at its end.
    void SetContinuous(bool continuous);

    // Lets a sweep waiting for a trigger program its next point; false when
    // none is waiting.
    bool Trigger();
    bool WaitingForTrigger();

    // Waits up to `timeout` for the sweep to end; true when none runs.
    bool WaitFor(std::chrono::milliseconds timeout);

    // Stops the sweep after the point it is programming, and waits for
    // that. The caller must hold no Access to the unit.
    void Abort();

private:
    // One pass; false when it stopped before its end.
    bool Run(UnitOwner &owner, ConnectionId id, const SweepPlan &plan, const Report &report);
    // Programs point i onto `state` (the unit's state, as the last point
    // left it) and waits for lock when the plan watches points; false when
    // the sweep must stop (reported).
    bool Program(UnitOwner &owner, ConnectionId id, const SweepPlan &plan, std::size_t i,
                 vontrel::Status &state, std::optional<double> &lock_ms, const Report &report);
    bool Dwell(double seconds);  // false when aborted meanwhile
    bool AwaitTrigger();         // false when aborted meanwhile

    std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool abort_ = false;
    bool continuous_ = false;
    bool waiting_for_trigger_ = false;
    bool triggered_ = false;
    bool muted_ = false;  // the sweep's thread only: the output's mute as the last point saw it
    std::thread thread_;
};

// Starts `sweep` for `session` under `access`, the one rule every front
// end's sweep keeps: not while this sweep runs, nor while another
// session's sweep holds the unit, nor while another session holds the
// unit's lock (Refusal: kConflict, kLocked). Makes `session` the unit's
// sweeper; nothing is changed when it is refused.
void CheckMayStartSweep(UnitOwner &owner, UnitOwner::Access &access, ListSweep &sweep,
                        ConnectionId session);
void StartSweep(UnitOwner &owner, UnitOwner::Access &access, ListSweep &sweep, ConnectionId session,
                SweepPlan plan, bool continuous, ListSweep::Report report, ListSweep::Done done);

}  // namespace vontrel::service

#endif
