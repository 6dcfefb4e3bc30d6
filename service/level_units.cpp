// SPDX-License-Identifier: MIT
// Levels in level units and in dBm.
#include "service/level_units.h"

#include <fmt/format.h>

#include <cmath>

#include "include/vontrel_limits.h"

namespace vontrel::service {
namespace {

// The shortest text that reads back as `v`; no "-0".
std::string Number(double v)
{
    return fmt::format("{}", v == 0.0 ? 0.0 : v);
}

}  // namespace

double LevelScale::Shown(double level) const
{
    if (!offset_db_) {
        return level;
    }
    constexpr double kResolution = 1e9;  // per dB
    const double dbm = level + *offset_db_;
    return std::fabs(dbm) < 1e6 ? std::round(dbm * kResolution) / kResolution : dbm;
}

double LevelScale::Level(double shown) const
{
    if (!offset_db_ || !std::isfinite(shown)) {
        return shown;
    }
    return std::round((shown - *offset_db_) / VONTREL_LEVEL_STEP) * VONTREL_LEVEL_STEP;
}

std::string LevelScale::Text(double level) const
{
    return dbm() ? Number(Shown(level)) + " dBm" : "level " + Number(level);
}

std::string LevelScale::RangeText(double min, double max) const
{
    return fmt::format("{} to {}{}", Number(Shown(min)), Number(Shown(max)), dbm() ? " dBm" : "");
}

std::string NoLevelCalibration(int serial)
{
    return fmt::format(
        "unit {0} has no level calibration, so its level is in its own level units, not dBm; "
        "measure its offset against a power meter and give it as level_offset_db of unit {0} in "
        "the units file (docs/units-file.md)",
        serial);
}

}  // namespace vontrel::service
