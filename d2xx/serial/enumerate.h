// SPDX-License-Identifier: MIT
// The ports the library offers: the USB converters the kernel knows of, or
// the ports VONTREL_SERIAL_PORTS names instead.
#ifndef VONTREL_D2XX_SERIAL_ENUMERATE_H
#define VONTREL_D2XX_SERIAL_ENUMERATE_H

#include <optional>
#include <string>
#include <vector>

#include "d2xx/serial/bitbang.h"
#include "d2xx/serial/ports.h"

namespace vserial {

// The ports in enumeration order. With VONTREL_SERIAL_PORTS set, exactly its
// ports in its order, each without a description of its own taking the USB
// product string of the tty it names (a udev symlink, say) when it has one.
// Otherwise the converter maker's USB serial ports, ordered by bus path.
// Throws std::invalid_argument for a malformed variable and
// std::runtime_error when the ports cannot be listed.
std::vector<PortInfo> ListPorts();

// The description mains switches are found by: $VONTREL_MAINS_DESCRIPTION,
// else VONTREL_MAINS_DEFAULT_DESCRIPTION.
std::string MainsDescription();

// The mains switches under `root` (a sysfs tree, /sys on a real system)
// that the kernel gave no tty: their interface is detached from the
// driver, by a program that has one open or one that ended without giving
// it back. Each comes with its bus path and no path.
std::vector<PortInfo> ScanPortlessMains(const std::string &root, const std::string &description);

// Where the interface at bus path `location` is on the bus, read under
// `root` (/sys) and named under /dev/bus/usb; nullopt when sysfs does not
// show it (it has left the bus).
std::optional<UsbAddress> UsbAddressOf(const std::string &root, const std::string &location);

}  // namespace vserial

#endif
