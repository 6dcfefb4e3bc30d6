// SPDX-License-Identifier: MIT
// The level policy, applied to every change the server makes.
#include "tools/serve/level_policy.h"

#include <stdexcept>

#include "tools/serve/scpi_error.h"

namespace vontrel::serve {

vontrel::Status ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status &before,
                                     const vontrel::Settings &wanted)
{
    try {
        return unit.apply(wanted, before);
    } catch (const std::invalid_argument &e) {  // LevelOutOfRange among them
        throw scpi::Error(scpi::kDataOutOfRange, e.what());
    }
}

}  // namespace vontrel::serve
