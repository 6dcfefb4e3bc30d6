// SPDX-License-Identifier: MIT
// A device's Tango monitor held for a scope, as Tango holds it around the
// commands and attributes it calls: the server's own threads (lock
// polling, outlet events) take it before they touch the device.
#ifndef VONTREL_TANGO_DEVICE_MONITOR_H
#define VONTREL_TANGO_DEVICE_MONITOR_H

#include <tango.h>

namespace vontrel::tango {

// Holds a Tango monitor for its lifetime; throws Tango::DevFailed when it
// is not free within the monitor's time-out.
class DeviceMonitor {
public:
    explicit DeviceMonitor(Tango::TangoMonitor &monitor) : monitor_(monitor)
    {
        monitor_.get_monitor();
    }
    ~DeviceMonitor() { monitor_.rel_monitor(); }
    DeviceMonitor(const DeviceMonitor &) = delete;
    DeviceMonitor &operator=(const DeviceMonitor &) = delete;

private:
    Tango::TangoMonitor &monitor_;
};

}  // namespace vontrel::tango

#endif
