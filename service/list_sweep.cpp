// SPDX-License-Identifier: MIT
// The list sweep's thread.
#include "service/list_sweep.h"

#include <fmt/format.h>

#include "include/vontrel_limits.h"

#include "service/errors.h"
#include "service/level_policy.h"

namespace vontrel::service {

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
            while (again) {
                again = Run(owner, id, plan, report);  // a whole pass
                const std::lock_guard<std::mutex> lock(mutex_);
                again = again && continuous_ && !abort_;
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
    for (std::size_t i = 0; i < plan.frequencies_mhz.size(); ++i) {
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
        try {
            UnitOwner::Access access(owner);
            if (access.sweeper() != id) {
                return false;  // the unit was taken back
            }
            access.MarkChanged();
            access.Call([&](vontrel::Unit &unit) {
                if (i == 0) {
                    state = unit.status();
                }
                vontrel::Settings point = state;
                point.frequency_mhz = plan.frequencies_mhz[i];
                if (!plan.levels.empty()) {
                    point.mode = vontrel::Mode::kMode3;
                    point.level = plan.levels[plan.levels.size() == 1 ? 0 : i];
                }
                state = ApplyWithLevelPolicy(unit, state, point);
                if (plan.on_point) {
                    const auto start = std::chrono::steady_clock::now();
                    if (unit.wait_lock(VONTREL_LOCK_TIMEOUT_DEFAULT_S)) {
                        lock_ms = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - start)
                                      .count();
                    }
                }
            });
        } catch (const Refusal &e) {
            report(e.reason(), fmt::format("list point {}: {}", i + 1, e.what()));
            return false;
        } catch (const std::system_error &e) {
            report(Reason::kUnitFailed,
                   fmt::format("list point {}: unit {}: {}", i + 1, owner.serial(), e.what()));
            return false;
        }
        if (plan.on_point) {
            plan.on_point(i, plan.frequencies_mhz[i], lock_ms);
        }
        if (!Dwell(plan.dwells_s[plan.dwells_s.size() == 1 ? 0 : i])) {
            return false;
        }
    }
    return true;
}

}  // namespace vontrel::service
