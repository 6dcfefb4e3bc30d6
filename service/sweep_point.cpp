// SPDX-License-Identifier: MIT
#include "service/sweep_point.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "service/errors.h"
#include "service/level_policy.h"

namespace vontrel::service {

std::optional<double> WaitForLock(const vontrel::Unit &unit, double timeout_s,
                                  const StopAsked &stopped)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(timeout_s));
    // In slices when a stop may be asked, so that it is seen within one;
    // each slice looks at lock detect at least once.
    constexpr double kSliceS = 0.1;
    for (;;) {
        const double left =
            std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
        if (unit.wait_lock(stopped ? std::min(left, kSliceS) : left)) {
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
        if (Clock::now() >= deadline || (stopped && stopped())) {
            return std::nullopt;
        }
    }
}

PointResult ProgramPoint(vontrel::Unit &unit, vontrel::Status &state,
                         const vontrel::Settings &wanted, std::optional<double> lock_timeout_s,
                         const StopAsked &stopped)
{
    return ProgramPoint(
        unit, state,
        [&wanted](vontrel::Unit &u, const vontrel::Status &from) {
            return ApplyWithLevelPolicy(u, from, wanted);
        },
        lock_timeout_s, stopped);
}

PointResult ProgramPoint(vontrel::Unit &unit, vontrel::Status &state, const PointProgram &program,
                         std::optional<double> lock_timeout_s, const StopAsked &stopped)
{
    PointResult point;
    try {
        state = program(unit, state);
        point.programmed = true;
        if (lock_timeout_s) {
            point.lock_ms = WaitForLock(unit, *lock_timeout_s, stopped);
        }
    } catch (const Refusal &e) {
        point.refused = e.what();  // nothing is left changed
    } catch (const std::system_error &e) {
        point.programmed = false;
        point.lock_ms.reset();
        point.failed = e;
        // The unit's state is no longer known; its level range is read again.
        state.level_min = std::numeric_limits<double>::quiet_NaN();
        state.level_max = state.level_min;
    }
    return point;
}

}  // namespace vontrel::service
