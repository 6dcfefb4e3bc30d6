// SPDX-License-Identifier: MIT
// Programming a served unit under the level policy of vontrel_limits.h,
// which vontrel::Unit::apply carries out: in mode 3 a level outside the
// calibrated range at the frequency is refused, and nothing is
// left changed.
#ifndef VONTREL_SERVICE_LEVEL_POLICY_H
#define VONTREL_SERVICE_LEVEL_POLICY_H

#include "include/vontrel.hpp"
#include "service/errors.h"
#include "service/level_units.h"

namespace vontrel::service {

// Programs `wanted`, `before` being the unit's state as status() read it or
// as the last call of this returned it, and returns the state as then
// known. A level the unit cannot take there (refused before anything is
// sent, or undone by writing `before` back) and any other value the API
// refuses throw Refusal (kValueRefused), whose text gives levels as
// `scale` shows them; a failed exchange throws std::system_error.
vontrel::Status ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status &before,
                                     const vontrel::Settings &wanted,
                                     const LevelScale &scale = LevelScale());

// The refusal of `level` at `frequency_mhz`, whose calibrated range is
// `min` to `max`, in the words ApplyWithLevelPolicy uses.
Refusal LevelRefusal(double level, double frequency_mhz, double min, double max,
                     const LevelScale &scale, bool restored);

}  // namespace vontrel::service

#endif
