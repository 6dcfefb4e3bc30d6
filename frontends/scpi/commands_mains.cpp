// SPDX-License-Identifier: MIT
// MAINS: the mains switch that powers the unit, reached through the unit's
// instrument. The switch is the one the units file names for this unit
// (its "power" entry), else the only one attached. Switching an outlet
// that powers served units switches them off and on as OUTPut does
// (service/unit_power.h), and is refused while another session holds the
// lock of one of them.
//
//   MAINS:OUTLet<n>[:STATe] <bool>   outlet n (1 to 8) on or off
//   MAINS:OUTLet<n>[:STATe]?         1 when it is on
//   MAINS:OUTLet<n>:UNIT?            the serial numbers of the units the
//                                    units file says it powers, or -1
//   MAINS:SWITch?                    the switch's serial string
#include <fmt/format.h>

#include "frontends/scpi/commands.h"
#include "service/mains_power.h"
#include "service/unit_power.h"

namespace vontrel::serve {
namespace {

// The server's power control; -241 when it has no mains switch.
service::PowerControl &Power(Instrument::Call &c, service::PowerControl *power)
{
    if (power == nullptr) {
        throw Error(scpi::kHardwareMissing,
                    fmt::format("{}: this server has no mains switch", HeaderText(c.unit)));
    }
    return *power;
}

// The outlet the header names (OUTLet3: 3), on this unit's switch.
service::PowerOutlet Outlet(Instrument::Call &c, service::PowerControl &power, int serial)
{
    int number = 1;
    for (const std::string &node : c.unit.nodes) {
        if (node.rfind("OUTL", 0) == 0) {
            number = scpi::NodeSuffix(node);
        }
    }
    service::PowerOutlet outlet;
    if (const auto mapped = power.OutletOf(serial)) {
        outlet.switch_serial = mapped->switch_serial;
    }
    outlet.switch_serial = power.mains().Resolve(outlet.switch_serial);
    outlet.outlet = number;
    return outlet;
}

}  // namespace

void Commands::AddMains(TableBuilder &b)
{
    b.add(
        "MAINS:OUTLet[:STATe]",
        [](Call &c) {
            c.Args(1, 1);
            const bool on = CheckedBoolean(c.Param(0));
            service::PowerControl &power = Power(c, c.in.owner_.power());
            const service::PowerOutlet outlet = Outlet(c, power, c.in.owner_.serial());
            // The outlet may power this unit or others: each is taken in
            // turn, so this line lets go of its own first.
            c.line.Release();
            power.SetOutlet(outlet, on, c.in.id_);
        },
        [](Call &c) {
            c.Args(0, 0);
            service::PowerControl &power = Power(c, c.in.owner_.power());
            c.response = std::string(
                1, power.mains().IsOn(Outlet(c, power, c.in.owner_.serial())) ? '1' : '0');
        });
    b.add("MAINS:OUTLet:UNIT", nullptr, [](Call &c) {
        c.Args(0, 0);
        service::PowerControl &power = Power(c, c.in.owner_.power());
        const service::PowerOutlet outlet = Outlet(c, power, c.in.owner_.serial());
        std::vector<std::string> serials;
        for (const auto &[serial, config] : power.units().units) {
            if (config.power && config.power->outlet == outlet.outlet &&
                power.mains().Resolve(config.power->switch_serial) == outlet.switch_serial) {
                serials.push_back(std::to_string(serial));
            }
        }
        c.response =
            serials.empty() ? std::string("-1") : fmt::format("{}", fmt::join(serials, ","));
    });
    b.add("MAINS:SWITch", nullptr, [](Call &c) {
        c.Args(0, 0);
        service::PowerControl &power = Power(c, c.in.owner_.power());
        c.response = "\"" + Outlet(c, power, c.in.owner_.serial()).switch_serial + "\"";
    });
}

}  // namespace vontrel::serve
