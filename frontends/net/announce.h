// SPDX-License-Identifier: MIT
// mDNS (DNS-SD) announcements through the system's avahi-daemon: any
// front end adds the services it serves under a name and type, and they
// are withdrawn when removed or when the announcer goes. Without
// avahi-daemon it says so once and announces nothing; when the daemon
// starts (or restarts) later, every service is announced then.
#ifndef VONTREL_FRONTENDS_NET_ANNOUNCE_H
#define VONTREL_FRONTENDS_NET_ANNOUNCE_H

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frontends/net/socket.h"
#include "service/unit_owner.h"

namespace vontrel::serve {

class Announcer {
public:
    // TXT record entries, "key=value".
    using Txt = std::vector<std::string>;

    // Announces on the interface of `listen`, the address the server listens
    // on, with that address's protocol; on every interface for a wildcard
    // address ("0.0.0.0" over IPv4, "::" over both).
    Announcer(service::Log log, const net::ListenAddress &listen);
    ~Announcer();  // withdraws every service
    Announcer(const Announcer &) = delete;
    Announcer &operator=(const Announcer &) = delete;

    // Announces service `name` of `type` ("_scpi-raw._tcp") on `port`. A
    // name another host has taken is replaced by avahi's alternative
    // ("name #2").
    void Add(const std::string &name, const std::string &type, int port, Txt txt);
    // Withdraws it.
    void Remove(const std::string &name, const std::string &type);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// The interface a server listening on `address` is announced on: the index
// of the interface that has the address, kEveryInterface for a wildcard
// address ("0.0.0.0", "::"), nullopt when no interface has it.
constexpr int kEveryInterface = -1;
std::optional<int> AnnounceInterface(const sockaddr_storage &address);

// Announces the unit served on raw port `raw_port` as an LXI instrument:
// _scpi-raw._tcp on that port and, when `vxi11`, _vxi-11._tcp (on the
// portmapper's port, where VXI-11 clients start), with the TXT records
// manufacturer, model, serial number and firmware revision.
void AnnounceUnit(Announcer &announcer, service::UnitOwner &owner, int raw_port, bool vxi11);

// Announces the web panel of the unit served as instrument `index`:
// _http._tcp and _lxi._tcp on `web_port`, with the same TXT records and the
// panel's path.
void AnnounceWebPanel(Announcer &announcer, service::UnitOwner &owner, std::size_t index,
                      int web_port);

}  // namespace vontrel::serve

#endif
