// SPDX-License-Identifier: MIT
// vontrel doctor.
#include "tools/vontrel/doctor.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "d2xx/serial/serial_d2xx.h"
#include "include/vontrel.hpp"
#include "tools/vontrel/output.h"
#include "tools/vontrel/sysfs.h"

namespace vontrel::tool {
namespace {

// A symbol that only the simulator exports.
constexpr const char *kSimulatorSymbol = "vsim_clear";

struct UnitSeen {
    int index;
    int serial;
};

struct LibraryView {
    std::vector<UnitSeen> units;
    int matched = 0;
    std::string error;  // why the units that matched did not open
};

// Opens every unit through libvontrel.so, as any program would.
LibraryView AskLibrary()
{
    LibraryView view;
    try {
        const Discovery found = discover();
        view.matched = found.matched;
        for (const Unit &u : found.units) {
            view.units.push_back({u.index(), u.serial()});
        }
        if (static_cast<std::size_t>(found.matched) > found.units.size()) {
            view.error = found.status ? found.status.message() : "no status";
            if (const std::string why = D2xxWalkMessage(); !why.empty()) {
                view.error += "; " + why;
            }
        }
    } catch (const std::exception &e) {
        view.error = e.what();
        if (const std::string why = D2xxLastMessage(); !why.empty()) {
            view.error += "; " + why;
        }
    }
    return view;
}

const char *KindWords(const std::string &kind)
{
    if (kind == "serial") {
        return "serial (d2xx/serial, over the kernel's tty driver)";
    }
    if (kind == "simulator") {
        return "simulator (d2xx/sim): the units are simulated";
    }
    return "another D2XX library";
}

Json PortJson(const SerialPort &p)
{
    return Json{{"node", p.port.path},
                {"description", p.port.description},
                {"serial", p.port.serial},
                {"unit", p.is_unit},
                {"driver", p.driver},
                {"location", p.port.location},
                {"latency_ms", p.latency_ms ? Json(*p.latency_ms) : Json(nullptr)},
                {"may_open", p.access == Access::kYes},
                {"access", AccessName(p.access)}};
}

std::string PortLine(const SerialPort &p)
{
    std::string line = fmt::format("  {}  \"{}\"{}", p.port.path, p.port.description,
                                   p.is_unit ? " (a unit)" : "");
    if (!p.port.serial.empty()) {
        line += fmt::format("  serial {}", p.port.serial);
    }
    if (!p.driver.empty()) {
        line += fmt::format("  driver {}", p.driver);
    }
    if (p.latency_ms) {
        line += fmt::format("  latency {} ms", *p.latency_ms);
    }
    return line + fmt::format("  may open: {}", AccessName(p.access));
}

void PrintPorts(const std::string &title, const std::vector<SerialPort> &ports)
{
    fmt::print("\n{}\n", title);
    if (ports.empty()) {
        fmt::print("  none\n");
    }
    for (const SerialPort &p : ports) {
        fmt::print("{}\n", PortLine(p));
    }
}

}  // namespace

D2xxLibrary LoadedD2xx()
{
    D2xxLibrary lib{"other", "unknown"};
    void *open = dlsym(RTLD_DEFAULT, "FT_Open");
    Dl_info info{};
    if (open == nullptr || dladdr(open, &info) == 0 || info.dli_fname == nullptr) {
        return lib;
    }
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::weakly_canonical(info.dli_fname, ec);
    lib.file = ec ? std::string(info.dli_fname) : file.string();
    // Look for each implementation's own symbol in that same file.
    void *self = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (self != nullptr) {
        if (dlsym(self, VONTREL_SERIAL_LAST_ERROR) != nullptr) {
            lib.kind = "serial";
        } else if (dlsym(self, kSimulatorSymbol) != nullptr) {
            lib.kind = "simulator";
        }
        dlclose(self);
    }
    return lib;
}

std::string D2xxLastMessage()
{
    using LastError = const char *(*)();
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): how dlsym hands out functions
    const auto last = reinterpret_cast<LastError>(dlsym(RTLD_DEFAULT, VONTREL_SERIAL_LAST_ERROR));
    const char *text = last != nullptr ? last() : nullptr;
    return text != nullptr ? std::string(text) : std::string();
}

std::string D2xxWalkMessage()
{
    using OpenFailures = const char *(*)();
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): how dlsym hands out functions
    const auto failures =
        reinterpret_cast<OpenFailures>(dlsym(RTLD_DEFAULT, VONTREL_SERIAL_OPEN_FAILURES));
    const char *text = failures != nullptr ? failures() : nullptr;
    return text != nullptr && *text != '\0' ? std::string(text) : D2xxLastMessage();
}

std::string NoUnitHint()
{
    const std::string kind = LoadedD2xx().kind;
    if (kind == "simulator") {
        return "check that a unit is plugged in and powered; with the simulator, see "
               "VONTREL_SIM_CONFIG and 'vontrel-sim reset'";
    }
    if (kind == "serial") {
        return fmt::format(
            "check that a unit is plugged in and powered; 'vontrel doctor' shows the serial ports "
            "and what keeps them from opening ({} names ports instead of the USB scan)",
            vserial::kPortsVariable);
    }
    return "check that a unit is plugged in and powered, and that the D2XX library loaded is the "
           "converter's ('vontrel doctor' names it)";
}

int Doctor(bool json)
{
    const D2xxLibrary lib = LoadedD2xx();
    const char *listed = std::getenv(vserial::kPortsVariable);  // NOLINT(concurrency-mt-unsafe)
    const Examination e =
        Examine("/", listed != nullptr ? std::optional<std::string>(listed) : std::nullopt);
    const LibraryView view = AskLibrary();
    // The system's converters matter only to the serial library; the
    // simulator has its own, another library its own driver.
    std::vector<Problem> problems;
    if (lib.kind == "serial") {
        problems = Diagnose(e);
    }
    if (!view.error.empty()) {
        problems.push_back({fmt::format("{} of {} units did not open: {}",
                                        view.matched - static_cast<int>(view.units.size()),
                                        view.matched, view.error),
                            "see the problems above"});
    }
    const int usable = static_cast<int>(view.units.size());

    if (json) {
        Json ports = Json::array();
        for (const SerialPort &p : e.converters) {
            ports.push_back(PortJson(p));
        }
        Json others = Json::array();
        for (const SerialPort &p : e.other_usb) {
            others.push_back(PortJson(p));
        }
        Json listed_json = Json::array();
        for (const SerialPort &p : e.listed) {
            listed_json.push_back(PortJson(p));
        }
        Json portless = Json::array();
        for (const PortlessConverter &c : e.portless) {
            portless.push_back(Json{{"location", c.location}, {"description", c.description}});
        }
        Json units = Json::array();
        for (const UnitSeen &u : view.units) {
            units.push_back(Json{{"index", u.index}, {"serial", u.serial}});
        }
        Json found = Json::array();
        for (const Problem &p : problems) {
            found.push_back(Json{{"problem", p.what}, {"fix", p.fix}});
        }
        const Json out{
            {"d2xx", {{"kind", lib.kind}, {"file", lib.file}}},
            {"looked_at",
             {{"terminals", e.terminals},
              {"serial_ports_variable", e.listed_ports ? Json(*e.listed_ports) : Json(nullptr)},
              {"udev_rule_folders", e.rule_folders}}},
            {"udev_rule", e.rule ? Json(*e.rule) : Json(nullptr)},
            {"converters", ports},
            {"other_usb_serial_ports", others},
            {"converters_without_port", portless},
            {"listed_ports", listed_json},
            {"units", units},
            {"problems", found},
            {"usable_units", usable}};
        PrintJson(out);
        return usable > 0 ? 0 : 1;
    }

    fmt::print("D2XX library: {}\n  loaded from {}\n", KindWords(lib.kind), lib.file);
    fmt::print("Looked at: /sys/class/tty ({} terminals), /sys/bus/usb/devices, {}, {}\n",
               e.terminals,
               e.listed_ports ? fmt::format("{}={}", vserial::kPortsVariable, *e.listed_ports)
                              : fmt::format("{} (not set)", vserial::kPortsVariable),
               fmt::format("udev rules in {}", fmt::join(e.rule_folders, ", ")));
    fmt::print("udev rule {}: {}\n", kUdevRuleFile, e.rule ? *e.rule : "not installed");
    PrintPorts(fmt::format("Converters (USB vendor {:04x}), in enumeration order:",
                           vserial::kConverterVendorId),
               e.converters);
    if (!e.other_usb.empty()) {
        PrintPorts("Other USB serial ports:", e.other_usb);
    }
    if (e.listed_ports) {
        PrintPorts("Ports VONTREL_SERIAL_PORTS names (these replace the USB scan):", e.listed);
    }
    fmt::print("\nUnits that answer through libvontrel: {}\n", usable);
    for (const UnitSeen &u : view.units) {
        fmt::print("  index {}  serial {}\n", u.index, u.serial);
    }
    if (problems.empty()) {
        fmt::print("\nNo problems found.\n");
    } else {
        fmt::print("\nProblems:\n");
        for (const Problem &p : problems) {
            fmt::print("  - {}\n    fix: {}\n", p.what, p.fix);
        }
    }
    return usable > 0 ? 0 : 1;
}

}  // namespace vontrel::tool
