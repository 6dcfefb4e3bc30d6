// SPDX-License-Identifier: MIT
// OUTPut: the state of the unit's output, and what the unit lacks of a
// signal generator's outputs and modulation.
#include "frontends/scpi/commands.h"

namespace vontrel::serve {

void Commands::AddOutput(TableBuilder &b)
{
    // The unit has no RF switch: what OFF does is the unit's units-file
    // entry's choice, carried out by service/output_state.h: refused, a
    // mute, or its mains outlet switched off (and on again, the unit
    // waited for and its settings programmed again: service/unit_power.h).
    // Taken while a sweep runs too (it goes on with the output off), so
    // that a driver's shutdown is never refused; not while another session
    // holds the unit's lock.
    b.add(
        "OUTPut[:STATe]",
        [](Call &c) {
            c.Args(1, 1);
            const bool on = CheckedBoolean(c.Param(0));
            service::UnitOwner::Access &access = c.line.Get();
            service::CheckUnlocked(c.in.owner_, c.in.id_);
            service::SetOutput(access, on);
        },
        [](Call &c) {
            c.Args(0, 0);
            // Not "1" : "0": g++ 12 warns wrongly (-Wrestrict).
            c.response = std::string(1, service::OutputOn(c.line.Get()) ? '1' : '0');
        });
    b.changes();
    b.table.push_back(Absent("OUTPut:MODulation[:STATe]", "the unit has no modulation"));
    b.table.push_back(Absent("OUTPut:BLANking[:STATe]",
                             "the unit does not blank its output while the frequency changes"));
    b.table.push_back(
        Absent("[SOURce:]ROSCillator:OUTPut[:STATe]", "the unit has no reference output"));
    b.table.push_back(Absent("[SOURce:]LFOutput[:STATe]", "the unit has no low-frequency output"));
    b.table.push_back(Absent("[SOURce:]AM[:STATe]", "the unit has no amplitude modulation"));
    b.table.push_back(Absent("[SOURce:]PULM[:STATe]", "the unit has no pulse modulation"));
}

}  // namespace vontrel::serve
