// SPDX-License-Identifier: MIT
// Which serial ports the library offers, and in what order.
#include "d2xx/serial/ports.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

namespace vserial {
namespace {

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::string_view Trim(std::string_view s)
{
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

}  // namespace

void RefuseRepeats(const std::vector<PortInfo> &ports,
                   const std::function<std::string(const PortInfo &)> &identity)
{
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const auto [it, added] = seen.emplace(identity(ports[i]), i);
        if (!added) {
            throw std::invalid_argument(std::string(kPortsVariable) + ": entries " +
                                        std::to_string(it->second + 1) + " and " +
                                        std::to_string(i + 1) + " name the same port " +
                                        ports[i].path + "; name each port once");
        }
    }
}

bool LocationLess(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Compare the two runs of digits as numbers: skip leading zeros,
            // then the longer run is the larger number.
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && IsDigit(a[ei])) {
                ++ei;
            }
            while (ej < b.size() && IsDigit(b[ej])) {
                ++ej;
            }
            std::string_view da = a.substr(i, ei - i);
            std::string_view db = b.substr(j, ej - j);
            da.remove_prefix(std::min(da.find_first_not_of('0'), da.size()));
            db.remove_prefix(std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size()) {
                return da.size() < db.size();
            }
            if (da != db) {
                return da < db;
            }
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) {
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string LocationFromDevicePath(std::string_view device_path)
{
    if (const std::size_t usb = device_path.rfind("/usb"); usb != std::string_view::npos) {
        device_path.remove_prefix(usb + 1);
    }
    return std::string(device_path);
}

bool IsMainsDescription(std::string_view description, std::string_view wanted)
{
    return !wanted.empty() && description.substr(0, wanted.size()) == wanted;
}

std::optional<UsbPlace> UsbPlaceOf(std::string_view location)
{
    // The segment with a colon is the interface, DEVICE:CONFIG.INTERFACE.
    while (!location.empty()) {
        const std::size_t slash = location.find('/');
        const std::string_view segment = location.substr(0, slash);
        const std::size_t colon = segment.find(':');
        const std::size_t dot = segment.rfind('.');
        if (colon != std::string_view::npos && dot != std::string_view::npos && dot > colon &&
            colon > 0 && dot + 1 < segment.size()) {
            const std::string_view number = segment.substr(dot + 1);
            if (number.size() > 3 || !std::all_of(number.begin(), number.end(), IsDigit)) {
                return std::nullopt;
            }
            UsbPlace place;
            place.device = std::string(segment.substr(0, colon));
            place.interface = std::stoi(std::string(number));
            return place;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        location.remove_prefix(slash + 1);
    }
    return std::nullopt;
}

std::vector<PortInfo> SelectConverters(std::vector<PortInfo> ports)
{
    std::erase_if(ports, [](const PortInfo &p) { return p.vendor != kConverterVendorId; });
    std::sort(ports.begin(), ports.end(), [](const PortInfo &a, const PortInfo &b) {
        if (a.location != b.location) {
            return LocationLess(a.location, b.location);
        }
        return LocationLess(a.path, b.path);
    });
    return ports;
}

std::vector<PortInfo> ParsePortList(std::string_view text)
{
    std::vector<PortInfo> ports;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = Trim(text.substr(0, comma));
        if (!entry.empty()) {
            const std::size_t equals = entry.find('=');
            PortInfo port;
            port.path = std::string(Trim(entry.substr(0, equals)));
            if (equals != std::string_view::npos) {
                port.description = std::string(Trim(entry.substr(equals + 1)));
            }
            if (port.path.empty() || port.path.front() != '/') {
                throw std::invalid_argument(std::string(kPortsVariable) + ": the entry '" +
                                            std::string(entry) +
                                            "' does not start with an absolute path");
            }
            ports.push_back(std::move(port));
        }
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    if (ports.empty()) {
        throw std::invalid_argument(std::string(kPortsVariable) +
                                    " is set but names no port (PATH[=DESCRIPTION],...)");
    }
    RefuseRepeats(ports, [](const PortInfo &p) { return p.path; });
    return ports;
}

std::string FitListText(std::string_view text)
{
    if (text.size() < kListTextSize) {
        return std::string(text);
    }
    std::size_t end = kListTextSize - 1;
    // Step back over UTF-8 continuation bytes (10xxxxxx) to a character start.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text.substr(0, end));
}

}  // namespace vserial
