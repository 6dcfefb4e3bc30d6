// Which unit a command works on: every unit is opened, the one that
// --unit names (or the only one) is kept and the others closed again.
#ifndef VONTREL_TOOLS_UNIT_SELECT_H
#define VONTREL_TOOLS_UNIT_SELECT_H

#include <vector>

#include "include/vontrel.hpp"
#include "tools/commands.h"

namespace vontrel::tool {

// Every unit that opened; throws when there is none.
std::vector<Unit> OpenUnits();

// Opens the units and keeps the one chosen by --unit (the only one when
// there is just one); the others close when this returns.
Unit OpenSelected(const Globals &g);

}  // namespace vontrel::tool

#endif
