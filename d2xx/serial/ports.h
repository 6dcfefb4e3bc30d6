// SPDX-License-Identifier: MIT
// Which serial ports the kernel-tty D2XX library offers, and in what order.
// Pure functions over port descriptions, shared by the library's
// enumeration and by `vontrel doctor`; nothing here touches the system.
#ifndef VONTREL_D2XX_SERIAL_PORTS_H
#define VONTREL_D2XX_SERIAL_PORTS_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vserial {

// The USB vendor of the converters the library offers.
inline constexpr unsigned kConverterVendorId = 0x0403;

// The size of the buffer FT_ListDevices fills with a description or a
// serial string, its terminating zero included.
inline constexpr std::size_t kListTextSize = 64;

// The variable that replaces the USB scan with a list of ports.
inline constexpr const char *kPortsVariable = "VONTREL_SERIAL_PORTS";

// One serial port as the enumeration sees it.
struct PortInfo {
    std::string path;                // the device node, e.g. /dev/ttyUSB0
    std::string description;         // the USB product string: D2XX's description
    std::string serial;              // the USB serial string
    std::optional<unsigned> vendor;  // USB vendor id; none for a port not on USB
    std::string location;            // the USB bus path, e.g. 1-1.2:1.0
    // A mains switch (its description begins with the mains switches'):
    // driven in bit-bang mode through libftdi, never through its tty,
    // which it may not have (path is then empty).
    bool mains = false;
};

// Whether a converter's description makes it a mains switch: it begins with
// `wanted`, the description switches are found by.
bool IsMainsDescription(std::string_view description, std::string_view wanted);

// The USB device and interface a bus path names: "usb1/1-1.2/1-1.2:1.0/ttyUSB0"
// gives the device 1-1.2 and interface 0; nullopt for one that names no
// interface.
struct UsbPlace {
    std::string device;  // the device's folder name in /sys/bus/usb/devices
    int interface = 0;
};
std::optional<UsbPlace> UsbPlaceOf(std::string_view location);

// Orders USB bus paths as the bus is laid out: the numbers in them compare
// as numbers, so 1-1.2 comes before 1-1.10.
bool LocationLess(std::string_view a, std::string_view b);

// The USB bus path of a tty from the resolved path of its sysfs device
// (.../usb1/1-1.2/1-1.2:1.0/ttyUSB0): the part from the root hub on, which
// is the same for the same socket however often the converter is plugged.
std::string LocationFromDevicePath(std::string_view device_path);

// The converters among the scanned ports: the USB ports of the converter
// maker, ordered by bus path (then by device node). This is the order of
// the enumeration indices.
std::vector<PortInfo> SelectConverters(std::vector<PortInfo> ports);

// The ports of a VONTREL_SERIAL_PORTS value: comma-separated
// PATH[=DESCRIPTION] entries, in the order given. Blanks around an entry and
// empty entries are ignored; an entry with an empty path, a path that is not
// absolute, a path named twice or a value with no entry at all is an error, thrown as
// std::invalid_argument with a message that names the entry.
std::vector<PortInfo> ParsePortList(std::string_view text);

// Throws std::invalid_argument, naming both entries, when two ports have
// the same `identity` (the path, or the node it resolves to): one port
// listed twice would open once and then count as in use by itself.
void RefuseRepeats(const std::vector<PortInfo> &ports,
                   const std::function<std::string(const PortInfo &)> &identity);

// A text cut to fit a list buffer with its terminating zero, never in the
// middle of a UTF-8 character.
std::string FitListText(std::string_view text);

}  // namespace vserial

#endif
