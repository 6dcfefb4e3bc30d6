// SPDX-License-Identifier: MIT
// The ports the library offers: the USB converters the kernel knows of, or
// the ports VONTREL_SERIAL_PORTS names instead.
#ifndef VONTREL_D2XX_SERIAL_ENUMERATE_H
#define VONTREL_D2XX_SERIAL_ENUMERATE_H

#include <vector>

#include "d2xx/serial/ports.h"

namespace vserial {

// The ports in enumeration order. With VONTREL_SERIAL_PORTS set, exactly its
// ports in its order, each without a description of its own taking the USB
// product string of the tty it names (a udev symlink, say) when it has one.
// Otherwise the converter maker's USB serial ports, ordered by bus path.
// Throws std::invalid_argument for a malformed variable and
// std::runtime_error when the ports cannot be listed.
std::vector<PortInfo> ListPorts();

}  // namespace vserial

#endif
