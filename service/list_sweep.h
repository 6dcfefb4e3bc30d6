// SPDX-License-Identifier: MIT
// A list sweep that the server times itself: each point is programmed
// under the unit's lock, which is let go again for the dwell, so other
// clients wait at most one point's exchanges for the unit.
#ifndef VONTREL_SERVICE_LIST_SWEEP_H
#define VONTREL_SERVICE_LIST_SWEEP_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/errors.h"
#include "service/unit_owner.h"

namespace vontrel::service {

// The points of one sweep. levels is empty (the level is left alone), one
// level for every point, or one per point; dwells likewise, but never empty.
// With bus_trigger, each point waits for a Trigger() before it is
// programmed.
struct SweepPlan {
    std::vector<double> frequencies_mhz;
    std::vector<double> levels;
    std::vector<double> dwells_s;
    bool bus_trigger = false;
    // When set, each point waits for lock once programmed (up to
    // VONTREL_LOCK_TIMEOUT_DEFAULT_S, before its dwell) and is then handed
    // to it: its index, frequency and the milliseconds lock took (none: no
    // lock within the time-out).
    std::function<void(std::size_t, double, std::optional<double>)> on_point;
    // When set, called last on the sweep's thread, once Running() is false,
    // so that whoever shows the sweep learns it has ended.
    std::function<void()> on_end;
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
    bool Dwell(double seconds);  // false when aborted meanwhile
    bool AwaitTrigger();         // false when aborted meanwhile

    std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool abort_ = false;
    bool continuous_ = false;
    bool waiting_for_trigger_ = false;
    bool triggered_ = false;
    std::thread thread_;
};

}  // namespace vontrel::service

#endif
