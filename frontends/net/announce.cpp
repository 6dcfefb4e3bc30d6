// SPDX-License-Identifier: MIT
// mDNS announcements over avahi-client, on avahi's own poll thread: its
// callbacks run there, and every call from another thread holds the poll's
// lock.
#include "frontends/net/announce.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <fmt/format.h>

#include <cstring>
#include <optional>

#include "frontends/net/text.h"
#include "frontends/net/visa_resources.h"

namespace vontrel::serve {

// One announcement: a name and type asked for, and avahi's group for it.
struct AnnouncedService {
    std::string name;  // as announced: avahi's alternative after a collision
    std::string type;
    int port = 0;
    Announcer::Txt txt;
    AvahiEntryGroup *group = nullptr;
};

namespace {

// VXI-11 clients find a device's core port through the portmapper.
constexpr int kPortmapperPort = 111;

}  // namespace

std::optional<int> AnnounceInterface(const sockaddr_storage &a)
{
    const bool v4 = a.ss_family == AF_INET;
    const auto &in4 = reinterpret_cast<const sockaddr_in &>(a).sin_addr;
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr;
    if (v4 ? in4.s_addr == htonl(INADDR_ANY) : IN6_IS_ADDR_UNSPECIFIED(&in6)) {
        return kEveryInterface;
    }
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        return std::nullopt;
    }
    std::optional<int> found;
    for (const ifaddrs *i = all; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != a.ss_family) {
            continue;
        }
        const bool same =
            v4 ? reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == in4.s_addr
               : std::memcmp(&reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr)->sin6_addr, &in6,
                             sizeof in6) == 0;
        if (same) {
            found = static_cast<int>(if_nametoindex(i->ifa_name));
        }
    }
    freeifaddrs(all);
    return found;
}

struct Announcer::State {
    service::Log log;
    // Where the units are announced: the listening address's interface and
    // protocol.
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    std::map<std::pair<std::string, std::string>, AnnouncedService>
        services;  // by name and type asked
    bool said_missing = false;

    // Puts `s` on the network, under another name when its name is taken.
    void Publish(AnnouncedService &s)
    {
        if (client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
            return;  // announced once the daemon runs
        }
        if (s.group == nullptr &&
            (s.group = avahi_entry_group_new(client, GroupChanged, this)) == nullptr) {
            log(fmt::format("mDNS: cannot announce {}: {}", s.name,
                            avahi_strerror(avahi_client_errno(client))));
            return;
        }
        AvahiStringList *txt = nullptr;
        for (const std::string &entry : s.txt) {
            txt = avahi_string_list_add(txt, entry.c_str());
        }
        int rc = 0;
        for (;;) {
            rc = avahi_entry_group_add_service_strlst(
                s.group, interface, protocol, static_cast<AvahiPublishFlags>(0), s.name.c_str(),
                s.type.c_str(), nullptr, nullptr, static_cast<std::uint16_t>(s.port), txt);
            if (rc != AVAHI_ERR_COLLISION) {
                break;
            }
            Rename(s);
        }
        avahi_string_list_free(txt);
        if (rc >= 0) {
            rc = avahi_entry_group_commit(s.group);
        }
        if (rc < 0) {
            log(fmt::format("mDNS: cannot announce {}: {}", s.name, avahi_strerror(rc)));
        }
    }

    static void Rename(AnnouncedService &s)
    {
        char *other = avahi_alternative_service_name(s.name.c_str());
        s.name = other;
        avahi_free(other);
    }

    static void GroupChanged(AvahiEntryGroup *group, AvahiEntryGroupState state, void *self)
    {
        auto &me = *static_cast<State *>(self);
        if (state != AVAHI_ENTRY_GROUP_COLLISION) {
            return;
        }
        for (auto &[key, s] : me.services) {
            if (s.group == group) {
                Rename(s);
                me.log(
                    fmt::format("mDNS: the name is taken on the network; announced as {}", s.name));
                avahi_entry_group_reset(group);
                me.Publish(s);
            }
        }
    }

    static void ClientChanged(AvahiClient *c, AvahiClientState state, void *self)
    {
        auto &me = *static_cast<State *>(self);
        me.client = c;  // also during avahi_client_new, before it returns
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (std::exchange(me.said_missing, false)) {
                    me.log("mDNS: avahi-daemon runs now; the units are announced");
                }
                for (auto &[key, s] : me.services) {
                    me.Publish(s);
                }
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                for (auto &[key, s] : me.services) {
                    if (s.group != nullptr) {
                        avahi_entry_group_reset(s.group);
                    }
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
                me.SayMissing();
                break;
            case AVAHI_CLIENT_FAILURE:
                // The daemon went away: wait for it to come back.
                for (auto &[key, s] : me.services) {
                    s.group = nullptr;  // freed with the client
                }
                avahi_client_free(c);
                me.client = nullptr;
                me.SayMissing();
                me.Connect();
                break;
        }
    }

    void SayMissing()
    {
        if (!std::exchange(said_missing, true)) {
            log("mDNS: no avahi-daemon runs, so the units are not announced (Debian: apt "
                "install avahi-daemon; systemctl start avahi-daemon); serving goes on");
        }
    }

    void Connect()
    {
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                  ClientChanged, this, &error);
        (void)error;  // SayMissing() says what a user can do about it
        if (client == nullptr) {
            // No system message bus: nothing to wait on for the daemon.
            SayMissing();
        }
    }
};

Announcer::Announcer(service::Log log, const net::ListenAddress &listen)
    : state_(std::make_unique<State>())
{
    state_->log = std::move(log);
    static_assert(kEveryInterface == AVAHI_IF_UNSPEC);
    const std::optional<int> interface = AnnounceInterface(listen.address);
    if (!interface) {
        state_->log(
            fmt::format("mDNS: no announcements: no interface has the address {}", listen.text));
        return;
    }
    state_->interface = *interface;
    state_->protocol = listen.address.ss_family == AF_INET6 ? AVAHI_PROTO_INET6 : AVAHI_PROTO_INET;
    if (listen.address.ss_family == AF_INET6 && *interface == AVAHI_IF_UNSPEC) {
        state_->protocol = AVAHI_PROTO_UNSPEC;  // "::" takes IPv4 clients too
    }
    state_->poll = avahi_threaded_poll_new();
    if (state_->poll == nullptr) {
        state_->log("mDNS: no announcements: avahi's poll could not be made");
        return;
    }
    state_->Connect();
    avahi_threaded_poll_start(state_->poll);
}

Announcer::~Announcer()
{
    if (state_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_stop(state_->poll);
    if (state_->client != nullptr) {
        avahi_client_free(state_->client);  // withdraws every group
    }
    avahi_threaded_poll_free(state_->poll);
}

void Announcer::Add(const std::string &name, const std::string &type, int port, Txt txt)
{
    if (state_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(state_->poll);
    AnnouncedService &s = state_->services[{name, type}];
    if (s.group != nullptr) {
        avahi_entry_group_reset(s.group);
    }
    s.name = name;
    s.type = type;
    s.port = port;
    s.txt = std::move(txt);
    state_->Publish(s);
    avahi_threaded_poll_unlock(state_->poll);
}

void Announcer::Remove(const std::string &name, const std::string &type)
{
    if (state_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(state_->poll);
    const auto it = state_->services.find({name, type});
    if (it != state_->services.end()) {
        if (it->second.group != nullptr) {
            avahi_entry_group_free(it->second.group);
        }
        state_->services.erase(it);
    }
    avahi_threaded_poll_unlock(state_->poll);
}

namespace {

// The name a unit's services go by.
std::string ServiceName(const service::UnitOwner &owner)
{
    return fmt::format("{} {} {}", kMaker, kModel, owner.serial());
}

// The LXI TXT records: maker, model, serial number and, when the unit can be
// read now, its firmware revision.
Announcer::Txt LxiTxt(service::UnitOwner &owner)
{
    Announcer::Txt txt{"txtvers=1", fmt::format("Manufacturer={}", kMaker),
                       fmt::format("Model={}", kModel),
                       fmt::format("SerialNumber={}", owner.serial())};
    try {
        service::UnitOwner::Access access(owner);
        const vontrel::Info info = access.Call([](vontrel::Unit &u) { return u.info(); });
        txt.push_back("FirmwareVersion=" + net::PrintableAscii(info.firmware));
    } catch (const std::exception &) {
        // Not open now (or switched off): announced without its firmware revision.
    }
    return txt;
}

}  // namespace

void AnnounceUnit(Announcer &announcer, service::UnitOwner &owner, int raw_port, bool vxi11)
{
    const std::string name = ServiceName(owner);
    const Announcer::Txt txt = LxiTxt(owner);
    announcer.Add(name, "_scpi-raw._tcp", raw_port, txt);
    if (vxi11) {
        announcer.Add(name, "_vxi-11._tcp", kPortmapperPort, txt);
    }
}

void AnnounceWebPanel(Announcer &announcer, service::UnitOwner &owner, std::size_t index,
                      int web_port)
{
    const std::string name = ServiceName(owner);
    Announcer::Txt txt = LxiTxt(owner);
    txt.push_back(fmt::format("path=/unit.html?unit={}", index));
    announcer.Add(name, "_http._tcp", web_port, txt);
    announcer.Add(name, "_lxi._tcp", web_port, std::move(txt));
}

}  // namespace vontrel::serve
