// SPDX-License-Identifier: MIT
// Enumeration through libserialport, which reads the USB attributes of each
// tty from sysfs. Only its port listing is used: the ports themselves are
// opened through the tty interface (port.cpp).
#include "d2xx/serial/enumerate.h"

#include <libserialport.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "include/vontrel_mains.h"

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

// A sysfs attribute's first line, "" when it cannot be read.
std::string Attribute(const std::filesystem::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

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
    const std::string mains = MainsDescription();
    for (sp_port **p = list.get(); *p != nullptr; ++p) {
        ports.push_back(Describe(*p));
        ports.back().mains = IsMainsDescription(ports.back().description, mains);
    }
    for (PortInfo &portless : ScanPortlessMains("/sys", mains)) {
        ports.push_back(std::move(portless));
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

std::string MainsDescription()
{
    const char *named =
        std::getenv(VONTREL_MAINS_DESCRIPTION_VARIABLE);  // NOLINT(concurrency-mt-unsafe)
    return named != nullptr && *named != '\0' ? named : VONTREL_MAINS_DEFAULT_DESCRIPTION;
}

std::vector<PortInfo> ScanPortlessMains(const std::string &root, const std::string &description)
{
    namespace fs = std::filesystem;
    std::vector<PortInfo> found;
    std::error_code ec;
    for (const fs::directory_entry &entry :
         fs::directory_iterator(fs::path(root) / "bus" / "usb" / "devices", ec)) {
        const std::string name = entry.path().filename().string();
        const auto colon = name.find(':');
        if (colon == std::string::npos) {
            continue;  // a device, not one of its interfaces
        }
        const fs::path device = entry.path().parent_path() / name.substr(0, colon);
        unsigned vendor = 0;
        try {
            vendor = static_cast<unsigned>(std::stoul(Attribute(device / "idVendor"), nullptr, 16));
        } catch (const std::exception &) {
            continue;
        }
        const std::string product = Attribute(device / "product");
        if (vendor != kConverterVendorId || !IsMainsDescription(product, description)) {
            continue;
        }
        // An interface with a tty is listed with it.
        bool has_tty = false;
        for (const fs::directory_entry &child : fs::directory_iterator(entry.path(), ec)) {
            const std::string child_name = child.path().filename().string();
            has_tty = has_tty || child_name.rfind("tty", 0) == 0;
        }
        if (has_tty) {
            continue;
        }
        PortInfo port;
        port.description = product;
        port.serial = Attribute(device / "serial");
        port.vendor = vendor;
        port.location = LocationFromDevicePath(fs::canonical(entry.path(), ec).string());
        port.mains = true;
        found.push_back(std::move(port));
    }
    return found;
}

std::optional<UsbAddress> UsbAddressOf(const std::string &root, const std::string &location)
{
    const std::optional<UsbPlace> place = UsbPlaceOf(location);
    if (!place) {
        return std::nullopt;
    }
    const std::filesystem::path device =
        std::filesystem::path(root) / "bus" / "usb" / "devices" / place->device;
    try {
        UsbAddress where;
        where.bus = std::stoi(Attribute(device / "busnum"));
        where.address = std::stoi(Attribute(device / "devnum"));
        where.interface = place->interface;
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", where.bus, where.address);
        where.node = node;
        return where;
    } catch (const std::exception &) {
        return std::nullopt;  // gone meanwhile
    }
}

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
