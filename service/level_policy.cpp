// SPDX-License-Identifier: MIT
// The level policy, applied to every change the server makes.
#include "service/level_policy.h"

#include <fmt/format.h>

#include <stdexcept>

#include "service/errors.h"

namespace vontrel::service {

Refusal LevelRefusal(double level, double frequency_mhz, double min, double max,
                     const LevelScale &scale, bool restored)
{
    return Refusal(Reason::kValueRefused,
                   fmt::format("{} is outside the unit's calibrated range at {} MHz: {}{}",
                               scale.Text(level), frequency_mhz, scale.RangeText(min, max),
                               restored ? "; the previous settings were restored" : ""));
}

vontrel::Status ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status &before,
                                     const vontrel::Settings &wanted, const LevelScale &scale)
{
    try {
        return unit.apply(wanted, before);
    } catch (const vontrel::LevelOutOfRange &e) {
        throw LevelRefusal(wanted.level, wanted.frequency_mhz, e.level_min(), e.level_max(), scale,
                           e.restored());
    } catch (const std::invalid_argument &e) {
        throw Refusal(Reason::kValueRefused, e.what());
    }
}

}  // namespace vontrel::service
