// SPDX-License-Identifier: MIT
// Programming a served unit under the level policy of vontrel_limits.h,
// which vontrel::Unit::apply carries out: in mode 3 a level outside the
// calibrated range at the frequency is refused, and nothing is
// left changed.
#ifndef VONTREL_SERVICE_LEVEL_POLICY_H
#define VONTREL_SERVICE_LEVEL_POLICY_H

#include "include/vontrel.hpp"

namespace vontrel::service {

// Programs `wanted`, `before` being the unit's state as status() read it or
// as the last call of this returned it, and returns the state as then
// known. A level the unit cannot take there (refused before anything is
// sent, or undone by writing `before` back) and any other value the API
// refuses throw Refusal (kValueRefused); a failed exchange throws
// std::system_error.
vontrel::Status ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status &before,
                                     const vontrel::Settings &wanted);

}  // namespace vontrel::service

#endif
