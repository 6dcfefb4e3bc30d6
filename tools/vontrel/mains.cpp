// SPDX-License-Identifier: MIT
// vontrel mains.
#include "tools/vontrel/mains.h"

#include <fmt/format.h>

#include <chrono>
#include <thread>

#include "include/vontrel_mains.hpp"
#include "include/vontrel_status.h"
#include "service/mains_switches.h"
#include "service/units_file.h"
#include "tools/vontrel/checks.h"
#include "tools/vontrel/doctor.h"
#include "tools/vontrel/output.h"
#include "tools/vontrel/report.h"

namespace vontrel::tool {
namespace {

using Clock = std::chrono::steady_clock;
using service::kMainsOutlets;

constexpr auto kUnitPoll = std::chrono::milliseconds(100);
constexpr double kMaxOffS = 3600.0;

// The outlet a command works on: its switch and number.
struct Target {
    std::string switch_serial;  // "" until the switch is chosen
    int outlet = 0;
};

std::string NoSwitchHint(const std::string &description)
{
    return fmt::format(
        "check that the switch is plugged in and that its description begins with \"{}\" "
        "(--description or ${} names another); 'vontrel doctor' shows the converters",
        description, VONTREL_MAINS_DESCRIPTION_VARIABLE);
}

// The units the units file maps to an outlet of switch `serial` (or of the
// one switch, for entries that name none).
std::vector<int> UnitsOn(const service::UnitsFile &units, const std::string &serial, int outlet,
                         bool only_switch)
{
    std::vector<int> out;
    for (const auto &[unit, config] : units.units) {
        if (config.power && config.power->outlet == outlet &&
            (config.power->switch_serial == serial ||
             (config.power->switch_serial.empty() && only_switch))) {
            out.push_back(unit);
        }
    }
    return out;
}

// What the command line names: an outlet number, or the unit it powers.
Target NamedTarget(const Globals &g, const MainsOptions &o, const service::UnitsFile &units)
{
    Target t;
    t.switch_serial = o.switch_serial;
    if (!o.outlet.empty()) {
        if (g.unit) {
            throw UsageError("name the outlet by its number or by --unit, not both");
        }
        const auto n = ParseDecimal(o.outlet);
        if (!n || *n != std::floor(*n) || *n < 1 || *n > kMainsOutlets) {
            throw UsageError(fmt::format("outlet '{}': give a number from 1 to {}",
                                         Printable(o.outlet), kMainsOutlets));
        }
        t.outlet = static_cast<int>(*n);
        return t;
    }
    if (!g.unit) {
        throw UsageError(
            "name the outlet: its number (1 to 8), or --unit serial:N for the unit the units file "
            "says it powers");
    }
    if (g.unit->by != UnitSelector::By::kSerial) {
        throw UsageError("--unit names a unit's outlet by its serial number: --unit serial:N");
    }
    const auto &power = units.For(g.unit->value).power;
    if (!power) {
        throw UsageError(fmt::format(
            "unit {} has no mains outlet in the units file{}; add \"power\": {{\"switch\": "
            "SERIAL, \"outlet\": N}} to its entry (docs/units-file.md)",
            g.unit->value, units.path.empty() ? " (none was found)" : " " + units.path));
    }
    if (!o.switch_serial.empty() && !power->switch_serial.empty() &&
        o.switch_serial != power->switch_serial) {
        throw UsageError(fmt::format("--switch {}: the units file puts unit {} on switch {}",
                                     o.switch_serial, g.unit->value, power->switch_serial));
    }
    if (t.switch_serial.empty()) {
        t.switch_serial = power->switch_serial;
    }
    t.outlet = power->outlet;
    return t;
}

// The switch a command works on: the one named, else the only one.
std::string Chosen(const std::string &named, const std::string &description)
{
    const std::vector<mains::SwitchInfo> found = mains::list(description);
    if (!named.empty()) {
        for (const mains::SwitchInfo &s : found) {
            if (s.serial == named) {
                return named;
            }
        }
        throw DeviceError(fmt::format("no mains switch {} is attached", named),
                          NoSwitchHint(description));
    }
    if (found.empty()) {
        throw DeviceError("no mains switch is attached", NoSwitchHint(description));
    }
    if (found.size() > 1) {
        std::string names;
        for (const mains::SwitchInfo &s : found) {
            names += fmt::format("\n  --switch {}   (index {})", s.serial, s.index);
        }
        throw DeviceError(
            fmt::format("{} mains switches are attached; name one:{}", found.size(), names),
            "or name the outlet by the unit it powers (--unit serial:N)");
    }
    return found.front().serial;
}

// Opens the switch, waiting up to --wait-unit while another program has it.
mains::Switch OpenSwitch(const Globals &g, const std::string &serial,
                         const std::string &description)
{
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(g.wait_unit_s));
    for (;;) {
        try {
            return mains::open(description, serial);
        } catch (const std::system_error &e) {
            if (e.code().value() != VONTREL_FT_DEVICE_NOT_OPENED) {
                throw;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                throw DeviceError(
                    fmt::format("the mains switch {} is in use by another program", serial),
                    fmt::format("close it (a `vontrel serve` holds its switches: use its "
                                "MAINS:OUTLet commands or its web panel), or wait with "
                                "--wait-unit SECONDS (this run waited {} s)",
                                g.wait_unit_s),
                    Json::object(), D2xxLastMessage());
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(kWaitUnitRetry, deadline - now));
        }
    }
}

Json OutletJson(int outlet, bool on, const std::vector<int> &units)
{
    return Json{{"outlet", outlet}, {"on", on}, {"units", units}};
}

std::string UnitsText(const std::vector<int> &units)
{
    if (units.empty()) {
        return "";
    }
    return fmt::format("  unit{} {}", units.size() == 1 ? "" : "s", fmt::join(units, ", "));
}

// Waits up to `boot_s` for unit `serial` to answer; the seconds it took, or
// nullopt.
std::optional<double> WaitForUnit(int serial, double boot_s, Clock::time_point since)
{
    const auto deadline =
        since + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(boot_s));
    for (;;) {
        try {
            for (const Unit &u : discover().units) {
                if (u.serial() == serial) {
                    (void)u.locked();  // it answers
                    return std::chrono::duration<double>(Clock::now() - since).count();
                }
            }
        } catch (const std::system_error &) {
            // Not there yet, or the walk met it still booting.
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kUnitPoll);
    }
}

int List(const Globals &g, const std::string &description)
{
    const std::vector<mains::SwitchInfo> found = mains::list(description);
    Json all = Json::array();
    for (const mains::SwitchInfo &s : found) {
        all.push_back(
            Json{{"index", s.index}, {"serial", s.serial}, {"description", s.description}});
    }
    if (found.empty()) {
        throw DeviceError("no mains switch is attached", NoSwitchHint(description),
                          Json{{"switches", all}});
    }
    if (g.json) {
        PrintJson(all);
        return kExitOk;
    }
    fmt::print("{:<6} {:<16} {}\n", "index", "serial", "description");
    for (const mains::SwitchInfo &s : found) {
        fmt::print("{:<6} {:<16} \"{}\"\n", s.index, s.serial, s.description);
    }
    return kExitOk;
}

}  // namespace

CLI::App *AddMainsCommand(CLI::App &app, MainsOptions &o)
{
    CLI::App *mains = app.add_subcommand(
        "mains", "the mains switch: list switches, show, switch or power-cycle an outlet");
    mains->require_subcommand(1);
    mains
        ->add_option("--switch", o.switch_serial,
                     "the switch by its serial (default: the one attached)")
        ->type_name("SERIAL");
    mains
        ->add_option(
            "--description", o.description,
            fmt::format("what switches' descriptions begin with (default: ${}, else "
                        "\"{}\")",
                        VONTREL_MAINS_DESCRIPTION_VARIABLE, VONTREL_MAINS_DEFAULT_DESCRIPTION))
        ->type_name("TEXT");
    mains->add_subcommand("list", "list the mains switches attached");
    mains->add_subcommand("status", "every outlet of the switch, and the units they power");
    const std::string outlet_help =
        "the outlet, 1 to 8; without it, --unit serial:N names the unit whose outlet it is";
    for (const char *action : {"on", "off", "cycle"}) {
        CLI::App *sub = mains->add_subcommand(
            action, std::string(action) == "on"    ? "switch an outlet on"
                    : std::string(action) == "off" ? "switch an outlet off"
                                                   : "switch an outlet off, wait, and on again; "
                                                     "wait for the units it powers to answer");
        sub->add_option("OUTLET", o.outlet, outlet_help);
        if (std::string(action) == "cycle") {
            sub->add_option("--off-time", o.off_s,
                            "how long the outlet stays off, seconds (default 5)")
                ->type_name("SECONDS")
                ->check(CLI::Validator(
                    [](std::string &text) {
                        return ParseDecimal(text) ? std::string()
                                                  : "'" + Printable(text) +
                                                        "' is not a decimal "
                                                        "number";
                    },
                    ""));
        }
    }
    for (CLI::App *sub : mains->get_subcommands({})) {
        sub->fallthrough();
    }
    return mains;
}

int Mains(const Globals &g, CLI::App &cmd, const MainsOptions &o)
{
    const std::string description = service::MainsDescription(o.description);
    if (description.size() >= VONTREL_MAINS_TEXT_SIZE) {
        throw UsageError(
            fmt::format("--description: at most {} bytes", VONTREL_MAINS_TEXT_SIZE - 1));
    }
    const std::string action = cmd.get_subcommands().front()->get_name();
    if (action == "cycle" && !(o.off_s >= 0.0 && o.off_s <= kMaxOffS)) {
        throw UsageError(fmt::format("--off-time {}: a time from 0 to {} s", o.off_s, kMaxOffS));
    }
    // The units file is read (and checked) before anything is sent.
    const service::UnitsFile units = g.Units();
    if (action == "list") {
        return List(g, description);
    }
    Target target;
    if (action != "status") {
        target = NamedTarget(g, o, units);
    } else if (!o.outlet.empty()) {
        throw UsageError("status shows every outlet; it takes no OUTLET");
    }
    if (target.switch_serial.empty()) {
        target.switch_serial = o.switch_serial;
    }
    const bool only = o.switch_serial.empty() && target.switch_serial.empty();
    target.switch_serial = Chosen(target.switch_serial, description);
    mains::Switch sw = OpenSwitch(g, target.switch_serial, description);

    if (action == "status") {
        const auto on = sw.outlets();
        Json outlets = Json::array();
        if (!g.json) {
            fmt::print("mains switch {}:\n", target.switch_serial);
        }
        for (int n = 1; n <= kMainsOutlets; ++n) {
            const std::vector<int> powered = UnitsOn(units, target.switch_serial, n, only);
            outlets.push_back(OutletJson(n, on[n - 1], powered));
            if (!g.json) {
                const std::string units_text = UnitsText(powered);
                fmt::print("  outlet {}  {}\n", n,
                           units_text.empty()
                               ? std::string(on[n - 1] ? "on" : "off")
                               : fmt::format("{:<3}{}", on[n - 1] ? "on" : "off", units_text));
            }
        }
        if (g.json) {
            PrintJson(Json{{"switch", target.switch_serial}, {"outlets", outlets}});
        }
        return kExitOk;
    }

    const std::vector<int> powered = UnitsOn(units, target.switch_serial, target.outlet, only);
    if (action == "on" || action == "off") {
        sw.set(target.outlet, action == "on");
        const bool now = sw.get(target.outlet);
        if (g.json) {
            Json j{{"switch", target.switch_serial}};
            j.update(OutletJson(target.outlet, now, powered));
            PrintJson(j);
        } else {
            fmt::print("outlet {} of mains switch {}: {}{}\n", target.outlet, target.switch_serial,
                       now ? "on" : "off", UnitsText(powered));
        }
        return kExitOk;
    }

    // cycle
    sw.set(target.outlet, false);
    if (!g.json) {
        fmt::print("outlet {} of mains switch {}: off for {} s{}\n", target.outlet,
                   target.switch_serial, o.off_s, UnitsText(powered));
        FlushStandardOutput();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(o.off_s));
    sw.set(target.outlet, true);
    const auto powered_at = Clock::now();
    sw.close();  // the units' walks below do not need it
    if (!g.json) {
        fmt::print("outlet {} of mains switch {}: on\n", target.outlet, target.switch_serial);
        FlushStandardOutput();
    }
    Json answered = Json::array();
    std::vector<int> silent;
    for (const int unit : powered) {
        const double boot_s = units.For(unit).power->boot_s;
        const auto took = WaitForUnit(unit, boot_s, powered_at);
        answered.push_back(
            Json{{"serial", unit}, {"answered_after_s", took ? Json(*took) : Json()}});
        if (!took) {
            silent.push_back(unit);
        } else if (!g.json) {
            fmt::print("unit {} answers again after {:.1f} s, at its power-up settings\n", unit,
                       *took);
        }
    }
    Json report{{"switch", target.switch_serial},
                {"outlet", target.outlet},
                {"off_s", o.off_s},
                {"units", answered}};
    if (!silent.empty()) {
        throw DeviceError(
            fmt::format("unit{} {} did not answer within {} s of power-up",
                        silent.size() == 1 ? "" : "s", fmt::join(silent, ", "),
                        units.For(silent.front()).power->boot_s),
            "check the unit and its power; \"boot_s\" in its units-file entry says how long it "
            "may take",
            report);
    }
    if (g.json) {
        PrintJson(report);
    }
    return kExitOk;
}

}  // namespace vontrel::tool
