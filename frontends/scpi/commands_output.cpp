// SPDX-License-Identifier: MIT
// OUTPut: the state of the unit's output.
#include "frontends/scpi/commands.h"

namespace vontrel::serve {

void Commands::AddOutput(TableBuilder &b)
{
    using vontrel::Settings;
    using vontrel::Status;
    // The unit's output has no switch: it is always on. Drivers that
    // turn it on before use, or read whether it is on, get what holds.
    b.add(
        "OUTPut[:STATe]",
        [](Call &c) {
            c.Args(1, 1);
            if (!CheckedBoolean(c.Param(0))) {
                throw Error(scpi::kHardwareMissing,
                            "the unit's output has no switch and is always on; "
                            "POW:ATT MAX gives the lowest level");
            }
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = std::string(1, '1');  // not "1": g++ 12 warns wrongly (-Wrestrict)
        });
}

}  // namespace vontrel::serve
