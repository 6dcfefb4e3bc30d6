// SPDX-License-Identifier: MIT
// OUTPut: the state of the unit's output.
#include "frontends/scpi/commands.h"
#include "service/unit_power.h"

namespace vontrel::serve {

void Commands::AddOutput(TableBuilder &b)
{
    using vontrel::Settings;
    using vontrel::Status;
    // The unit's output has no switch: it is always on, unless the units
    // file says that "output off" is its mains outlet (service/unit_power.h):
    // then OFF switches the outlet off and ON powers the unit up, waits for
    // it and programs the settings it had. Drivers that turn the output on
    // before use, or read whether it is on, get what holds.
    b.add(
        "OUTPut[:STATe]",
        [](Call &c) {
            c.Args(1, 1);
            const bool on = CheckedBoolean(c.Param(0));
            service::PowerControl *power = c.in.owner_.power();
            if (power != nullptr && power->SwitchesOutput(c.in.owner_.serial())) {
                service::UnitOwner::Access &access = c.Changing();
                if (on) {
                    power->On(access);
                } else {
                    power->Off(access);
                }
                return;
            }
            if (!on) {
                throw Error(scpi::kHardwareMissing,
                            "the unit's output has no switch and is always on; "
                            "POW:ATT MAX gives the lowest level");
            }
        },
        [](Call &c) {
            c.Args(0, 0);
            service::PowerControl *power = c.in.owner_.power();
            if (power != nullptr && power->SwitchesOutput(c.in.owner_.serial())) {
                c.response = std::string(1, power->IsOn(c.in.owner_.serial()) ? '1' : '0');
                return;
            }
            c.response = std::string(1, '1');  // not "1": g++ 12 warns wrongly (-Wrestrict)
        });
    b.changes();
}

}  // namespace vontrel::serve
