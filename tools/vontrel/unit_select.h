// SPDX-License-Identifier: MIT
// Which unit a command works on. Every unit is opened (that is the only way
// the library finds them), the one --unit names, or the only one, is kept
// and the others closed again. Each converter that looked like a unit and
// did not open has its own cause (service/unit_causes.h): held by another
// program (and which), not answering, not a serial port, gone. While one
// is held by another program the tool tries again for up to --wait-unit
// seconds; a converter that fails never hides a unit that opened.
#ifndef VONTREL_TOOLS_VONTREL_UNIT_SELECT_H
#define VONTREL_TOOLS_VONTREL_UNIT_SELECT_H

#include <system_error>
#include <vector>

#include "include/vontrel.hpp"
#include "service/unit_causes.h"
#include "tools/vontrel/commands.h"

namespace vontrel::tool {

// What one walk over the converters opened.
struct Found {
    std::vector<Unit> units;
    std::vector<service::Unopened> unopened;  // converters that looked like units, and why not
    std::error_code status;                   // the walk's D2XX status
};

// Every unit that opens, waiting up to --wait-unit while converters are
// held by another program; throws when no unit opened (with each
// converter's cause). Found::unopened says why the others did not.
Found OpenUnits(const Globals &g);

// Opens the units and keeps the one chosen by --unit (the only one when
// there is just one); the others close when this returns.
Unit OpenSelected(const Globals &g);

// Each converter that did not open, one line each, indented, for messages.
std::string UnopenedLines(const std::vector<service::Unopened> &unopened);

}  // namespace vontrel::tool

#endif
