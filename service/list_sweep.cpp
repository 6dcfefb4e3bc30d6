// SPDX-License-Identifier: MIT
// The list sweep's thread.
#include "service/list_sweep.h"

#include <fmt/format.h>

#include <cmath>

#include "include/vontrel_limits.h"

#include "service/errors.h"
#include "service/sweep_point.h"
#include "service/level_policy.h"
#include "service/unit_change.h"
#include "service/output_state.h"

namespace vontrel::service {

void CheckMayStartSweep(UnitOwner &owner, UnitOwner::Access &access, ListSweep &sweep,
                        ConnectionId session)
{
    if (sweep.Running()) {
        throw Refusal(Reason::kConflict, "this connection's sweep is still running");
    }
    if (access.sweeper() != kNoSweep) {
        throw Refusal(Reason::kConflict, "another connection's sweep is running on this unit");
    }
    CheckUnlocked(owner, session);
}

void StartSweep(UnitOwner &owner, UnitOwner::Access &access, ListSweep &sweep, ConnectionId session,
                SweepPlan plan, bool continuous, ListSweep::Report report, ListSweep::Done done)
{
    CheckMayStartSweep(owner, access, sweep, session);
    access.set_sweeper(session);
    try {
        sweep.Start(owner, session, std::move(plan), continuous, std::move(report),
                    std::move(done));
    } catch (...) {
        access.set_sweeper(kNoSweep);
        throw;
    }
}

void ListSweep::Start(UnitOwner &owner, ConnectionId id, SweepPlan plan, bool continuous,
                      Report report, Done done)
{
    if (thread_.joinable()) {
        thread_.join();  // the last sweep has ended; Running() was false
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        abort_ = false;
        continuous_ = continuous;
        waiting_for_trigger_ = false;
        triggered_ = false;
    }
    thread_ = std::thread([this, &owner, id, plan = std::move(plan), report = std::move(report),
                           done = std::move(done)] {
        try {
            bool again = true;
            bool whole = false;  // the last pass ran to its end
            while (again) {
                whole = Run(owner, id, plan, report);  // a whole pass
                const std::lock_guard<std::mutex> lock(mutex_);
                again = whole && continuous_ && !abort_;
            }
            if (whole && plan.retrace && plan.Points() > 1) {
                vontrel::Status state;
                std::optional<double> lock_ms;
                Program(owner, id, plan, 0, state, lock_ms, report);
            }
        } catch (const std::exception &e) {
            report(Reason::kStopped, std::string("the list sweep stopped: ") + e.what());
        }
        {
            UnitOwner::Access access(owner);
            if (access.sweeper() == id) {
                access.set_sweeper(kNoSweep);
            }
        }
        done();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
        }
        changed_.notify_all();
        if (plan.on_end) {
            plan.on_end();
        }
    });
}

bool ListSweep::Running()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void ListSweep::SetContinuous(bool continuous)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    continuous_ = continuous;
}

bool ListSweep::Trigger()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // A trigger taken already and not yet acted on: this one would be
        // lost, so it is refused.
        if (!waiting_for_trigger_ || triggered_) {
            return false;
        }
        triggered_ = true;
    }
    changed_.notify_all();
    return true;
}

bool ListSweep::WaitingForTrigger()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_for_trigger_ && !triggered_;
}

bool ListSweep::AwaitTrigger()
{
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_for_trigger_ = true;
    triggered_ = false;
    changed_.wait(lock, [&] { return abort_ || triggered_; });
    waiting_for_trigger_ = false;
    return !abort_;
}

bool ListSweep::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !running_; });
}

void ListSweep::Abort()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        abort_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool ListSweep::Dwell(double seconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return abort_; });
    return !abort_;
}

bool ListSweep::Run(UnitOwner &owner, ConnectionId id, const SweepPlan &plan, const Report &report)
{
    vontrel::Status state;  // the unit's state, as the last point left it
    for (std::size_t i = 0; i < plan.Points(); ++i) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (abort_) {
                return false;
            }
        }
        if (plan.bus_trigger && !AwaitTrigger()) {
            return false;
        }
        std::optional<double> lock_ms;
        if (!Program(owner, id, plan, i, state, lock_ms, report)) {
            return false;
        }
        if (plan.on_point) {
            plan.on_point(i, state.frequency_mhz, lock_ms);
        }
        if (!Dwell(plan.dwells_s[plan.dwells_s.size() == 1 ? 0 : i])) {
            return false;
        }
    }
    return true;
}

bool ListSweep::Program(UnitOwner &owner, ConnectionId id, const SweepPlan &plan, std::size_t i,
                        vontrel::Status &state, std::optional<double> &lock_ms,
                        const Report &report)
{
    const auto at = [i](const std::vector<double> &list) { return list[list.size() == 1 ? 0 : i]; };
    try {
        UnitOwner::Access access(owner);
        if (access.sweeper() != id) {
            return false;  // the unit was taken back
        }
        access.MarkChanged();
        access.Call([&](vontrel::Unit &unit) {
            // Read back at the first point, again once the output was
            // turned off or on meanwhile (output_state.h), and after a
            // failed exchange.
            const bool muted = access.muted_from().has_value();
            if (i == 0 || muted != muted_ || std::isnan(state.level_min)) {
                state = ReadHeld(access, unit);
            }
            const PointResult done = ProgramPoint(
                unit, state,
                [&](vontrel::Unit &u, const vontrel::Status &from) {
                    return ApplyEdit(
                        access, u, from,
                        [&](vontrel::Settings &point, const vontrel::Status &) {
                            if (!plan.frequencies_mhz.empty()) {
                                point.frequency_mhz = at(plan.frequencies_mhz);
                            }
                            if (!plan.levels.empty()) {
                                point.mode = vontrel::Mode::kMode3;
                                point.level = at(plan.levels);
                            }
                        },
                        plan.scale);
                },
                plan.on_point ? std::optional(VONTREL_LOCK_TIMEOUT_DEFAULT_S) : std::nullopt);
            muted_ = access.muted_from().has_value();
            if (done.failed) {
                throw *done.failed;  // the owner learns that the unit failed
            }
            if (!done.programmed) {
                throw Refusal(Reason::kValueRefused, done.refused);
            }
            lock_ms = done.lock_ms;
        });
    } catch (const Refusal &e) {
        report(e.reason(), fmt::format("list point {}: {}", i + 1, e.what()));
        return false;
    } catch (const std::system_error &e) {
        report(Reason::kUnitFailed,
               fmt::format("list point {}: unit {}: {}", i + 1, owner.serial(), e.what()));
        return false;
    }
    return true;
}

}  // namespace vontrel::service
