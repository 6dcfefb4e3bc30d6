// SPDX-License-Identifier: MIT
// Enumeration through libserialport, which reads the USB attributes of each
// tty from sysfs. Only its port listing is used: the ports themselves are
// opened through the tty interface (port.cpp).
#include "d2xx/serial/enumerate.h"

#include <libserialport.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace vserial {
namespace {

std::string Text(const char *s)
{
    return s != nullptr ? std::string(s) : std::string();
}

// The port's place on the USB bus, from its tty's device in sysfs.
std::string Location(const std::string &path)
{
    const std::string link = "/sys/class/tty/" + path.substr(path.rfind('/') + 1) + "/device";
    char resolved[PATH_MAX];
    return realpath(link.c_str(), resolved) != nullptr ? LocationFromDevicePath(resolved)
                                                       : std::string();
}

// What libserialport knows of the port: its USB attributes when it is on USB.
PortInfo Describe(const sp_port *port)
{
    PortInfo info;
    info.path = Text(sp_get_port_name(port));
    if (sp_get_port_transport(port) == SP_TRANSPORT_USB) {
        int vendor = 0;
        int product = 0;
        if (sp_get_port_usb_vid_pid(port, &vendor, &product) == SP_OK) {
            info.vendor = static_cast<unsigned>(vendor);
        }
        info.description = Text(sp_get_port_usb_product(port));
        info.serial = Text(sp_get_port_usb_serial(port));
        info.location = Location(info.path);
    }
    return info;
}

struct PortListDeleter {
    void operator()(sp_port **list) const { sp_free_port_list(list); }
};

std::vector<PortInfo> ScanUsb()
{
    sp_port **raw = nullptr;
    if (sp_list_ports(&raw) != SP_OK) {
        char *message = sp_last_error_message();
        const std::string text = Text(message);
        sp_free_error_message(message);
        throw std::runtime_error("cannot list the serial ports: " + text);
    }
    const std::unique_ptr<sp_port *, PortListDeleter> list(raw);
    std::vector<PortInfo> ports;
    for (sp_port **p = list.get(); *p != nullptr; ++p) {
        ports.push_back(Describe(*p));
    }
    return SelectConverters(std::move(ports));
}

// Fills in what the system knows of a listed port that came without a
// description: the USB attributes of the tty it is, or links to.
void Complete(PortInfo &port)
{
    char resolved[PATH_MAX];
    if (!port.description.empty() || realpath(port.path.c_str(), resolved) == nullptr) {
        return;
    }
    sp_port *found = nullptr;
    if (sp_get_port_by_name(resolved, &found) != SP_OK) {
        return;
    }
    const PortInfo known = Describe(found);
    sp_free_port(found);
    port.description = known.description;
    port.serial = known.serial;
    port.vendor = known.vendor;
    port.location = known.location;
}

}  // namespace

std::vector<PortInfo> ListPorts()
{
    const char *listed = std::getenv(kPortsVariable);  // NOLINT(concurrency-mt-unsafe)
    if (listed == nullptr) {
        return ScanUsb();
    }
    std::vector<PortInfo> ports = ParsePortList(listed);
    for (PortInfo &port : ports) {
        Complete(port);
    }
    // Two names of one node (a udev link and the tty itself) are one port.
    RefuseRepeats(ports, [](const PortInfo &p) {
        char resolved[PATH_MAX];
        return realpath(p.path.c_str(), resolved) != nullptr ? std::string(resolved) : p.path;
    });
    return ports;
}

}  // namespace vserial
