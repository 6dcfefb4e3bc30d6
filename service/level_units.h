// SPDX-License-Identifier: MIT
// A unit's level as a lab sees it. The unit's own level is in level units
// (0.25 per step of its attenuator, referred to its calibration tables),
// not a calibrated power. A unit whose units-file entry gives its level
// calibration, an offset measured against a power meter, has its level
// shown and taken in dBm: dBm = level + level_offset_db. Every front end
// and program converts here and nowhere else.
#ifndef VONTREL_SERVICE_LEVEL_UNITS_H
#define VONTREL_SERVICE_LEVEL_UNITS_H

#include <optional>
#include <string>

#include "service/units_file.h"

namespace vontrel::service {

class LevelScale {
public:
    // The unit's own level units: no calibration.
    LevelScale() = default;
    explicit LevelScale(std::optional<double> offset_db) : offset_db_(offset_db) {}
    static LevelScale Of(const UnitConfig &config) { return LevelScale(config.level_offset_db); }

    // Whether levels are shown and taken in dBm.
    bool dbm() const { return offset_db_.has_value(); }
    std::optional<double> offset_db() const { return offset_db_; }

    // A level, as shown: in dBm (to the nano-dB, so that 9.5 with an
    // offset of -3.1 shows as 6.4), or the level itself.
    double Shown(double level) const;

    // A value given as shown, as a level. A dBm value becomes the nearest
    // level the attenuator can make (a multiple of VONTREL_LEVEL_STEP, a
    // half step away from zero), since the offset lies anywhere between
    // two steps; a value in level units is taken as it is, for the caller
    // to check against the grid. Values that are not finite stay so, for
    // the range check to refuse.
    double Level(double shown) const;

    // What the level is in: "dBm", or "level units".
    const char *UnitName() const { return dbm() ? "dBm" : "level units"; }

    // The value of a level, as messages show it: "6.5 dBm", "level 9.75".
    std::string Text(double level) const;

    // A range of levels, as messages show it: "-30 to 20 dBm", "-33.25 to 16.75".
    std::string RangeText(double min, double max) const;

private:
    std::optional<double> offset_db_;
};

// Why a level in dBm is refused by a unit without a level calibration,
// and how to give it one.
std::string NoLevelCalibration(int serial);

}  // namespace vontrel::service

#endif
