// Opening the unit a command works on.
#include "tools/unit_select.h"

#include <fmt/format.h>

namespace vontrel::tool {
namespace {

std::string Candidates(const std::vector<Unit> &units)
{
    std::string out;
    for (const Unit &u : units) {
        out += fmt::format("\n  --unit serial:{}   (index:{})", u.serial(), u.index());
    }
    return out;
}

}  // namespace

std::vector<Unit> OpenUnits()
{
    Discovery found = discover();
    if (found.units.empty()) {
        if (found.matched > 0) {
            throw std::system_error(found.status, "Vontrel_Open");
        }
        throw DeviceError("no unit found",
                          "check that a unit is plugged in and powered; with the simulator, "
                          "see VONTREL_SIM_CONFIG and 'vontrel-sim reset'");
    }
    if (static_cast<std::size_t>(found.matched) > found.units.size()) {
        fmt::print(stderr, "vontrel: warning: {} of {} units did not open ({})\n",
                   static_cast<std::size_t>(found.matched) - found.units.size(), found.matched,
                   found.status ? found.status.message() : "no status");
    }
    return std::move(found.units);
}

// Opens the units and keeps the one chosen by --unit (the only one when
// there is just one); the others close when this returns.
Unit OpenSelected(const Globals &g)
{
    std::vector<Unit> units = OpenUnits();
    if (!g.unit) {
        if (units.size() == 1) {
            return std::move(units[0]);
        }
        throw DeviceError(fmt::format("{} units found; choose one with --unit:{}", units.size(),
                                      Candidates(units)),
                          "");
    }
    for (Unit &u : units) {
        const int key = g.unit->by == UnitSelector::By::kSerial ? u.serial() : u.index();
        if (key == g.unit->value) {
            return std::move(u);
        }
    }
    throw DeviceError(fmt::format("no unit with {} {}; the units found are:{}",
                                  g.unit->by == UnitSelector::By::kSerial ? "serial" : "index",
                                  g.unit->value, Candidates(units)),
                      "");
}

}  // namespace vontrel::tool
