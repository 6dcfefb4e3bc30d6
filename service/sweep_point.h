// SPDX-License-Identifier: MIT
// One point of a sweep, as every sweep takes it (the tool's `vontrel sweep`
// and the servers' list sweep): the unit is programmed under the level
// policy, lock is waited for, and what became of the point is recorded.
// Three points in a row that failed on an exchange mean the unit is gone.
#ifndef VONTREL_SERVICE_SWEEP_POINT_H
#define VONTREL_SERVICE_SWEEP_POINT_H

#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include "include/vontrel.hpp"

namespace vontrel::service {

// Points failed on an exchange, in a row, after which a sweep that goes on
// past a failed point takes the unit to be gone and ends.
inline constexpr int kFailedPointsInARowEndingASweep = 3;

// Asked between looks at lock detect: true ends the wait.
using StopAsked = std::function<bool()>;

// Polls lock detect until the unit locks, `timeout_s` passes or `stopped`
// says so (looked at every 0.1 s; none: not asked). The milliseconds lock
// took, or none. Throws std::system_error when an exchange fails.
std::optional<double> WaitForLock(const vontrel::Unit &unit, double timeout_s,
                                  const StopAsked &stopped = {});

// What became of one point. Exactly one of: programmed, refused (by the
// level policy or a value check: nothing is left changed), failed (an
// exchange failed: the unit may be partly programmed).
struct PointResult {
    bool programmed = false;
    std::optional<double> lock_ms;  // when programmed and locked within the wait
    std::string refused;            // why the point was refused
    std::optional<std::system_error> failed;
};

// Programs `wanted` under the level policy and, when `lock_timeout_s` is
// given, waits that long for lock. `state` is the unit's state as last read
// or programmed, and follows the unit: after a failed exchange its level
// range is unknown (NaN), so the next point reads it again.
PointResult ProgramPoint(vontrel::Unit &unit, vontrel::Status &state,
                         const vontrel::Settings &wanted, std::optional<double> lock_timeout_s,
                         const StopAsked &stopped = {});

// Programs a point by `program`, which takes the unit from `state` to the
// point and returns the state it then holds (the servers' list sweep
// programs through the output's mute this way), then as above.
using PointProgram =
    std::function<vontrel::Status(vontrel::Unit &unit, const vontrel::Status &state)>;
PointResult ProgramPoint(vontrel::Unit &unit, vontrel::Status &state, const PointProgram &program,
                         std::optional<double> lock_timeout_s, const StopAsked &stopped = {});

// Counts the points that failed on an exchange in a row.
class FailedPointsInARow {
public:
    // True when this point makes kFailedPointsInARowEndingASweep in a row.
    bool Count(const PointResult &point)
    {
        count_ = point.failed ? count_ + 1 : 0;
        return count_ >= kFailedPointsInARowEndingASweep;
    }

private:
    int count_ = 0;
};

}  // namespace vontrel::service

#endif
