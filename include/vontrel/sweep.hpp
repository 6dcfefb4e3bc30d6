// SPDX-License-Identifier: MIT
/// @file vontrel/sweep.hpp
/// @brief The points of a frequency sweep.
/// Part of vontrel.hpp, which includes every part.
/// @since 0.1.0
#ifndef VONTREL_SWEEP_HPP
#define VONTREL_SWEEP_HPP

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "vontrel/settings.hpp"
#include "vontrel_limits.h"

namespace vontrel {
inline namespace v0 {

/// The frequencies of a sweep from `start` to `stop` (either direction) in
/// steps of `step` MHz, which must be greater than 0; `stop` is included when
/// the steps reach it to within a billionth of a step. Points lie on a
/// micro-hertz grid, so 0.1 MHz steps give 4999.9 and not 4999.900000000001.
/// Throws std::invalid_argument for a point outside the unit's range, a step
/// that is not finite and positive, or more than VONTREL_SWEEP_POINTS_MAX
/// points.
inline std::vector<double> sweep_points(double start, double stop, double step)
{
    check_frequency(start, "sweep start");
    check_frequency(stop, "sweep stop");
    if (!(step > 0.0 && step <= VONTREL_FREQ_MAX_MHZ)) {
        throw std::invalid_argument("sweep step " + detail::number(step) +
                                    " MHz must be greater than 0 and at most " +
                                    detail::number(VONTREL_FREQ_MAX_MHZ));
    }
    // Counting steps rather than adding them keeps the points exact
    // multiples of the step.
    const double count = std::floor(std::fabs(stop - start) / step + 1e-9) + 1.0;
    if (count > VONTREL_SWEEP_POINTS_MAX) {
        throw std::invalid_argument("the sweep has " + detail::number(count) + " points; at most " +
                                    std::to_string(VONTREL_SWEEP_POINTS_MAX) + " are taken");
    }
    const double direction = stop >= start ? 1.0 : -1.0;
    const auto n = static_cast<std::size_t>(count);
    std::vector<double> points;
    points.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double f = start + direction * static_cast<double>(i) * step;
        points.push_back(std::round(f * 1e6) / 1e6);
    }
    return points;
}

}  // namespace v0
}  // namespace vontrel

#endif
