// SPDX-License-Identifier: MIT
// Which unit a command works on. Every unit is opened (that is the only way
// the library finds them), the one --unit names, or the only one, is kept
// and the others closed again. A converter another program has open cannot
// be opened: the tool then tries again for up to --wait-unit seconds, and
// says plainly that the unit is in use when it stays so.
#ifndef VONTREL_TOOLS_VONTREL_UNIT_SELECT_H
#define VONTREL_TOOLS_VONTREL_UNIT_SELECT_H

#include <system_error>
#include <vector>

#include "include/vontrel.hpp"
#include "tools/vontrel/commands.h"

namespace vontrel::tool {

// What one walk over the converters opened.
struct Found {
    std::vector<Unit> units;
    int not_opened = 0;      // units that were found but did not open
    std::error_code status;  // the walk's D2XX status
    std::string why;         // what the D2XX library said of those that did not open
};

// Every unit, waiting up to --wait-unit for those in use; throws when there
// is none, and when units did not open for another reason than being in
// use. Found::not_opened counts those still in use.
Found OpenUnits(const Globals &g);

// Opens the units and keeps the one chosen by --unit (the only one when
// there is just one); the others close when this returns.
Unit OpenSelected(const Globals &g);

// "1 unit is in use by another program" for `count` units.
std::string InUseText(int count);

}  // namespace vontrel::tool

#endif
