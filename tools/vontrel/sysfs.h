// SPDX-License-Identifier: MIT
// What `vontrel doctor` reads of the system: the USB serial ports sysfs
// shows, whether this user may open each, and whether the udev rule is
// installed. Everything is read under a root folder, "/" on a real system
// and a fake tree in the tests.
#ifndef VONTREL_TOOLS_VONTREL_SYSFS_H
#define VONTREL_TOOLS_VONTREL_SYSFS_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "d2xx/serial/ports.h"

namespace vontrel::tool {

// The rule file packaging/udev installs.
inline constexpr const char *kUdevRuleFile = "60-vontrel.rules";

// Whether this user can take a port now.
enum class Access {
    kYes,          // it opens and its lock is free
    kDenied,       // no permission
    kHeld,         // another program has it
    kMissing,      // no device node
    kNotTerminal,  // a file, folder, FIFO or device that is no serial port
    kFailed,       // it would not open for another reason (see `why`)
};
const char *AccessName(Access a);

// One serial port: a USB tty sysfs shows, or one VONTREL_SERIAL_PORTS names.
struct SerialPort {
    vserial::PortInfo port;  // path is the node as the user names it, /dev/ttyUSB0
    std::string driver;      // e.g. ftdi_sio
    std::optional<int> latency_ms;
    bool is_unit = false;  // its description marks it as a unit
    Access access = Access::kFailed;
    std::string why;  // the system's words when it would not open
};

// A converter on USB for which the kernel made no tty: no driver is bound.
struct PortlessConverter {
    std::string location;
    std::string description;
};

struct Examination {
    int terminals = 0;                   // entries in sys/class/tty
    std::vector<SerialPort> converters;  // the maker's USB ports, in enumeration order
    std::vector<SerialPort> other_usb;   // USB serial ports of other makers
    std::vector<PortlessConverter> portless;
    std::optional<std::string> listed_ports;  // VONTREL_SERIAL_PORTS, when set
    std::vector<SerialPort> listed;           // its ports
    std::string list_error;                   // why it could not be read
    std::vector<std::string> rule_folders;    // where the udev rule was looked for
    std::optional<std::string> rule;          // the rule file found
};

// Whether a converter's description marks it as a unit: the test the
// library makes when it opens units (the first letter of "Vontrel").
bool IsUnitDescription(const std::string &description);

// Who named a port: the kernel's list of terminals (a tty by its place
// there), or the user through VONTREL_SERIAL_PORTS (anything at all).
enum class Named { kByKernel, kByUser };

// Tries to take the port at `node` as the library would (open; for a port
// the user named, check that it is a terminal; lock) and lets go of it again.
Access Probe(const std::string &node, Named named, std::string *why);

// Reads sysfs, the udev rule folders and the device nodes under `root`, and
// `listed_ports` (the value of VONTREL_SERIAL_PORTS, if set).
Examination Examine(const std::filesystem::path &root,
                    const std::optional<std::string> &listed_ports);

// A problem found, and what fixes it.
struct Problem {
    std::string what;
    std::string fix;
};
std::vector<Problem> Diagnose(const Examination &e);

}  // namespace vontrel::tool

#endif
