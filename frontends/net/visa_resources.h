// SPDX-License-Identifier: MIT
// The VISA resource strings under which a served unit is reached: what the
// startup lines, the documentation and every front end show a user to type.
#ifndef VONTREL_FRONTENDS_NET_VISA_RESOURCES_H
#define VONTREL_FRONTENDS_NET_VISA_RESOURCES_H

#include <cstddef>
#include <string>

namespace vontrel::serve {

// The maker and model every front end names a served unit by: *IDN?, the
// mDNS TXT records and the LXI identification document.
inline constexpr const char *kMaker = "Vontrel";
inline constexpr const char *kModel = "Synthesizer";

struct VisaResources {
    std::string instr;   // TCPIP::HOST::instN::INSTR (VXI-11)
    std::string socket;  // TCPIP::HOST::PORT::SOCKET (the raw port)
};

// The host part for clients: the listen address as given, except that a
// wildcard address ("0.0.0.0", "::") becomes this machine's name, and an
// IPv6 literal is put in brackets.
std::string VisaHost(const std::string &listen);

// The VXI-11 device names of the unit served as instrument `index` with
// serial number `serial`: "inst0", ... in the server's port order, and the
// alias "sn1234" that stays with the unit whatever the order.
std::string DeviceName(std::size_t index);
std::string SerialAlias(int serial);

// The resources of the unit served as instrument `index` (inst0, inst1, ...
// in the server's port order) on raw port `port`.
VisaResources ResourcesOf(const std::string &listen, std::size_t index, int port);

}  // namespace vontrel::serve

#endif
