// SPDX-License-Identifier: MIT
// The level policy, applied to every change the server makes.
#include "service/level_policy.h"

#include <stdexcept>

#include "service/errors.h"

namespace vontrel::service {

vontrel::Status ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status &before,
                                     const vontrel::Settings &wanted)
{
    try {
        return unit.apply(wanted, before);
    } catch (const std::invalid_argument &e) {  // LevelOutOfRange among them
        throw Refusal(Reason::kValueRefused, e.what());
    }
}

}  // namespace vontrel::service
