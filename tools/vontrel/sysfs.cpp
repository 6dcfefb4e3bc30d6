// SPDX-License-Identifier: MIT
// What `vontrel doctor` reads of the system.
#include "tools/vontrel/sysfs.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace vontrel::tool {
namespace {

namespace fs = std::filesystem;

// Where udev reads rules from, in the order it prefers them.
constexpr const char *kRuleFolders[] = {"etc/udev/rules.d", "run/udev/rules.d",
                                        "usr/lib/udev/rules.d", "lib/udev/rules.d"};

// The library asks for this latency at open; a timer above it costs time.
constexpr int kLowLatencyMs = 1;

std::string ReadAttribute(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::optional<unsigned> ReadHex(const fs::path &file)
{
    const std::string text = ReadAttribute(file);
    if (text.empty()) {
        return std::nullopt;
    }
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 16);
        return used == text.size() ? std::optional<unsigned>(value) : std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<int> ReadInt(const fs::path &file)
{
    const std::string text = ReadAttribute(file);
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        return used == text.size() ? std::optional<int>(value) : std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

// The USB device a sysfs device sits on: the nearest folder upwards with
// an idVendor, below `sys`.
std::optional<fs::path> UsbDeviceOf(fs::path device, const fs::path &sys)
{
    std::error_code ec;
    for (; device.has_relative_path() && device != sys; device = device.parent_path()) {
        if (fs::exists(device / "idVendor", ec)) {
            return device;
        }
        if (device.parent_path() == device) {
            break;
        }
    }
    return std::nullopt;
}

void ProbeInto(SerialPort &p, const fs::path &node, Named named)
{
    p.access = Probe(node.string(), named, &p.why);
}

}  // namespace

const char *AccessName(Access a)
{
    switch (a) {
        case Access::kYes:
            return "yes";
        case Access::kDenied:
            return "no permission";
        case Access::kHeld:
            return "held by another program";
        case Access::kMissing:
            return "no device node";
        case Access::kNotTerminal:
            return "no: not a serial port";
        case Access::kFailed:
            break;
    }
    return "does not open";
}

bool IsUnitDescription(const std::string &description)
{
    return !description.empty() && description.front() == 'V';
}

Access Probe(const std::string &node, Named named, std::string *why)
{
    const int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *why = std::error_code(error, std::generic_category()).message();
        switch (error) {
            case EACCES:
            case EPERM:
                return Access::kDenied;
            case ENOENT:
                return Access::kMissing;
            case EBUSY:
                return Access::kHeld;
            case EISDIR:
                return Access::kNotTerminal;
            default:
                return Access::kFailed;
        }
    }
    // Only a terminal is a serial port: the library refuses anything else
    // (/dev/null, a file, a FIFO) before it tries the lock.
    if (termios t{}; named == Named::kByUser && tcgetattr(fd, &t) != 0) {
        *why = std::error_code(errno, std::generic_category()).message();
        close(fd);
        return Access::kNotTerminal;
    }
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!free) {
        *why = std::error_code(errno, std::generic_category()).message();
    }
    close(fd);  // lets go of the lock too
    return free ? Access::kYes : Access::kHeld;
}

Examination Examine(const fs::path &root, const std::optional<std::string> &listed_ports)
{
    Examination e;
    std::error_code ec;
    const fs::path sys = root / "sys";
    std::vector<vserial::PortInfo> usb;
    std::vector<SerialPort> found;
    for (const fs::directory_entry &entry : fs::directory_iterator(sys / "class" / "tty", ec)) {
        ++e.terminals;
        const fs::path device = fs::canonical(entry.path() / "device", ec);
        if (ec) {
            continue;  // a virtual terminal
        }
        const auto usb_device = UsbDeviceOf(device, sys);
        if (!usb_device) {
            continue;  // not on USB
        }
        SerialPort p;
        const std::string name = entry.path().filename().string();
        p.port.path = "/dev/" + name;
        p.port.vendor = ReadHex(*usb_device / "idVendor");
        p.port.description = ReadAttribute(*usb_device / "product");
        p.port.serial = ReadAttribute(*usb_device / "serial");
        p.port.location = vserial::LocationFromDevicePath(device.string());
        p.driver = fs::canonical(device / "driver", ec).filename().string();
        p.latency_ms = ReadInt(device / "latency_timer");
        p.is_unit = IsUnitDescription(p.port.description);
        ProbeInto(p, root / "dev" / name, Named::kByKernel);
        usb.push_back(p.port);
        found.push_back(std::move(p));
    }
    // The maker's converters in the library's enumeration order; the rest
    // as they came.
    for (const vserial::PortInfo &info : vserial::SelectConverters(usb)) {
        const auto it = std::find_if(found.begin(), found.end(),
                                     [&](const SerialPort &p) { return p.port.path == info.path; });
        e.converters.push_back(*it);
    }
    for (const SerialPort &p : found) {
        if (p.port.vendor != vserial::kConverterVendorId) {
            e.other_usb.push_back(p);
        }
    }
    for (const fs::directory_entry &entry :
         fs::directory_iterator(sys / "bus" / "usb" / "devices", ec)) {
        const fs::path device = fs::canonical(entry.path(), ec);
        if (ec || ReadHex(device / "idVendor") != vserial::kConverterVendorId) {
            continue;
        }
        const std::string location = vserial::LocationFromDevicePath(device.string());
        const bool has_port = std::any_of(found.begin(), found.end(), [&](const SerialPort &p) {
            return p.port.location.rfind(location + "/", 0) == 0;
        });
        if (!has_port) {
            e.portless.push_back({location, ReadAttribute(device / "product")});
        }
    }
    std::sort(e.portless.begin(), e.portless.end(),
              [](const PortlessConverter &a, const PortlessConverter &b) {
                  return vserial::LocationLess(a.location, b.location);
              });
    e.listed_ports = listed_ports;
    if (listed_ports) {
        try {
            for (vserial::PortInfo &info : vserial::ParsePortList(*listed_ports)) {
                SerialPort p;
                p.port = std::move(info);
                p.is_unit = IsUnitDescription(p.port.description);
                ProbeInto(p, p.port.path, Named::kByUser);
                e.listed.push_back(std::move(p));
            }
        } catch (const std::invalid_argument &err) {
            e.list_error = err.what();
        }
    }
    for (const char *folder : kRuleFolders) {
        e.rule_folders.push_back("/" + std::string(folder));
        if (!e.rule && fs::exists(root / folder / kUdevRuleFile, ec)) {
            e.rule = "/" + std::string(folder) + "/" + kUdevRuleFile;
        }
    }
    return e;
}

std::vector<Problem> Diagnose(const Examination &e)
{
    std::vector<Problem> problems;
    if (!e.list_error.empty()) {
        problems.push_back({e.list_error,
                            "set VONTREL_SERIAL_PORTS to PATH[=DESCRIPTION],... or "
                            "unset it to scan USB"});
    }
    if (e.converters.empty() && e.portless.empty() && !e.listed_ports) {
        problems.push_back(
            {fmt::format("no USB serial converter of vendor {:04x} is attached",
                         vserial::kConverterVendorId),
             "plug the unit in and power it; `lsusb` lists it once the computer sees it"});
    }
    for (const PortlessConverter &c : e.portless) {
        problems.push_back(
            {fmt::format("the converter at USB {} (\"{}\") has no serial port: no driver is bound "
                         "to it",
                         c.location, c.description),
             "the brltty package takes such converters: `sudo apt purge brltty`, then unplug and "
             "replug the unit"});
    }
    if (!e.rule) {
        problems.push_back(
            {fmt::format("the udev rule {} is not installed", kUdevRuleFile),
             "sudo cmake --install build --component udev && sudo udevadm control --reload && "
             "sudo udevadm trigger --subsystem-match=tty"});
    }
    std::vector<SerialPort> ports = e.converters;
    ports.insert(ports.end(), e.listed.begin(), e.listed.end());
    for (const SerialPort &p : ports) {
        if (!p.is_unit) {
            continue;
        }
        switch (p.access) {
            case Access::kYes:
                break;
            case Access::kDenied:
                problems.push_back(
                    {fmt::format("{}: this user may not open it", p.port.path),
                     fmt::format("install the udev rule ({}) and replug the unit; without a "
                                 "desktop session, join the group the rule gives units' ttys "
                                 "to: `sudo usermod -aG {} $USER`, then log in again",
                                 kUdevRuleFile, VONTREL_SERVICE_ACCOUNT)});
                break;
            case Access::kHeld:
                problems.push_back(
                    {fmt::format("{}: another program holds it", p.port.path),
                     fmt::format("close that program; `fuser -v {}` names it", p.port.path)});
                break;
            case Access::kNotTerminal:
                problems.push_back(
                    {fmt::format("{}: it is not a serial port ({})", p.port.path, p.why),
                     fmt::format("name the unit's tty in {} (a /dev/ttyUSB* node, or the "
                                 "udev rule's link to it)",
                                 vserial::kPortsVariable)});
                break;
            case Access::kMissing:
            case Access::kFailed:
                problems.push_back({fmt::format("{}: it does not open ({})", p.port.path, p.why),
                                    "unplug and replug the unit"});
                break;
        }
        if (p.latency_ms && *p.latency_ms > kLowLatencyMs) {
            problems.push_back(
                {fmt::format("{}: the latency timer is {} ms, so every exchange waits for it",
                             p.port.path, *p.latency_ms),
                 fmt::format("the library asks for {} ms at each open unless VONTREL_LATENCY="
                             "default; the udev rule sets it when the unit is plugged in",
                             kLowLatencyMs)});
        }
    }
    return problems;
}

}  // namespace vontrel::tool
