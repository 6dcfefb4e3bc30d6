// SPDX-License-Identifier: MIT
// The VXI-11 server's sockets, connections and procedures.
#include "frontends/vxi11/server.h"

#include <fmt/format.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>
#include <rpc/rpcb_clnt.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "frontends/net/session_limits.h"
#include "frontends/net/visa_resources.h"
#include "frontends/vxi11/link.h"
#include "frontends/vxi11/protocol.h"

namespace vontrel::serve::vxi11 {

using Clock = std::chrono::steady_clock;

struct Vxi11Server::Connection {
    int fd = -1;
    std::string peer;
    bool abort_channel = false;
    Clock::time_point since = Clock::now();  // taken, or its last link destroyed
    Clock::time_point last_call = Clock::now();
    net::ConnectionGate::Ticket place;  // under the server's mutex_
    std::thread thread;
    std::atomic<bool> finished{false};
    std::map<std::uint32_t, std::unique_ptr<Link>> links;  // the links made on it
    std::map<std::uint32_t, net::ConnectionGate::Ticket> link_places;
    std::atomic<std::size_t> link_count{0};
    bool linked = false;                           // it made one: its end is logged
    sockaddr_storage address{};                    // the client's
    std::shared_ptr<InterruptChannel> interrupts;  // create_intr_chan's
    std::mutex reason_mutex;
    std::string end_reason;  // why the server ends it, when it does

    void End(const std::string &reason)
    {
        {
            const std::lock_guard<std::mutex> lock(reason_mutex);
            if (end_reason.empty()) {
                end_reason = reason;
            }
        }
        shutdown(fd, SHUT_RDWR);  // its thread sees the end; the descriptor stays
    }
};

namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
constexpr std::size_t kMaxDeviceName = 256;
constexpr int kPollMs = 500;
constexpr int kInterruptConnectMs = 2000;

using Ms = std::chrono::milliseconds;

Ms Millis(std::uint32_t ms)
{
    return Ms(ms);
}

// Writes all of `bytes`; false when the connection is gone.
bool SendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Whether the peer of `fd` has closed its end (or the connection broke).
bool ClientGone(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

Vxi11Server::Vxi11Server(net::ListenAddress address, service::Log log,
                         std::vector<service::UnitOwner *> units, net::SessionFactory sessions,
                         int idle_timeout_s)
    : address_(std::move(address)),
      log_(std::move(log)),
      units_(std::move(units)),
      sessions_(std::move(sessions)),
      idle_timeout_s_(idle_timeout_s)
{
}

Vxi11Server::~Vxi11Server()
{
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = write(wake_[1], &byte, 1);
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    {
        const std::lock_guard<std::mutex> lock(registrar_mutex_);  // stopping_ is seen
    }
    registrar_stop_.notify_all();
    if (registrar_.joinable()) {
        registrar_.join();
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto &c : connections_) {
            shutdown(c->fd, SHUT_RDWR);  // wakes its thread
        }
        for (auto &[lid, link] : links_) {
            link->Abort();  // wakes a read that waits; stopping_ ends the next ones
        }
    }
    // Links end on their connections' threads; a waiting read sees stopping_.
    for (auto &c : connections_) {
        if (c->thread.joinable()) {
            c->thread.join();
        }
        close(c->fd);
    }
    Unregister();
    for (const int fd : {core_.fd, abort_.fd, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Vxi11Server::Start()
{
    core_ = net::OpenListener(address_, 0);
    abort_ = net::OpenListener(address_, 0);
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        throw std::runtime_error(
            fmt::format("VXI-11: pipe failed: {}", std::generic_category().message(errno)));
    }
    Register();
    acceptor_ = std::thread([this] { AcceptLoop(); });
    registrar_ = std::thread([this] { WatchRegistration(); });
}

namespace {

// How often the registration with rpcbind is looked at, and how long one
// look may take.
constexpr auto kRegistrationCheck = std::chrono::seconds(2);
constexpr int kRpcbindWaitMs = 1000;

// The portmapper: program, version, its GETPORT procedure and port.
constexpr std::uint32_t kPortmapProgram = 100000;
constexpr std::uint32_t kPortmapVersion = 2;
constexpr std::uint32_t kPortmapGetPort = 3;
constexpr std::uint16_t kPortmapPort = 111;

// A TCP connection to 127.0.0.1:`port` within kRpcbindWaitMs; -1 when none.
int ConnectLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t length = sizeof error;
            error = poll(&p, 1, kRpcbindWaitMs) == 1 &&
                            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
                        ? error
                        : ETIMEDOUT;
        }
        if (error != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Whether a server listens on `port` of this machine's loopback address.
bool Listening(int port)
{
    const int fd = ConnectLoopback(port);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

// The port rpcbind has for the VXI-11 core program over TCP: 0 when none,
// nullopt when rpcbind does not answer. Asked over TCP with a time-out of
// its own, so that a look never hangs on an rpcbind that is not there.
std::optional<int> RegisteredPort()
{
    const int fd = ConnectLoopback(kPortmapPort);
    if (fd < 0) {
        return std::nullopt;
    }
    rpc::XdrWriter call;
    for (const std::uint32_t word :
         {1U, 0U, 2U, kPortmapProgram, kPortmapVersion, kPortmapGetPort, 0U, 0U, 0U, 0U,
          kCoreProgram, kVersion, static_cast<std::uint32_t>(IPPROTO_TCP), 0U}) {
        call.U32(word);
    }
    const std::string record = rpc::Framed(call.data());
    std::optional<int> port;
    if (send(fd, record.data(), record.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(record.size())) {
        rpc::RecordReader reader;
        const auto end = Clock::now() + Ms(kRpcbindWaitMs);
        char chunk[512];
        try {
            while (!port && Clock::now() < end) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, kRpcbindWaitMs) != 1) {
                    break;
                }
                const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n <= 0) {
                    break;
                }
                reader.Append(std::string_view(chunk, static_cast<std::size_t>(n)));
                if (auto reply = reader.Next()) {
                    // xid, REPLY, MSG_ACCEPTED, verifier (flavour, length), SUCCESS, port
                    rpc::XdrReader in(*reply);
                    in.U32();
                    const bool accepted = in.U32() == 1 && in.U32() == 0;
                    in.U32();
                    in.Opaque(400);
                    if (accepted && in.U32() == 0) {
                        port = static_cast<int>(in.U32());
                    }
                    break;
                }
            }
        } catch (const rpc::Garbage &) {
            // Not an answer: taken as no rpcbind.
        }
    }
    close(fd);
    return port;
}

// Removes the core program's TCP registration.
void Unset()
{
    if (netconfig *tcp = getnetconfigent("tcp")) {
        rpcb_unset(kCoreProgram, kVersion, tcp);
        freenetconfigent(tcp);
    }
}

// Registers the core program over TCP on `port`; false when rpcbind did
// not take it (not running, or the program registered already). rpcb_set
// with an address of our own: libtirpc's pmap_set leaks the one it makes.
bool Set(int port)
{
    netconfig *tcp = getnetconfigent("tcp");
    if (tcp == nullptr) {
        return false;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<std::uint16_t>(port));
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    netbuf address{sizeof any, sizeof any, &any};
    const bool ok = rpcb_set(kCoreProgram, kVersion, tcp, &address) != 0;
    freenetconfigent(tcp);
    return ok;
}

}  // namespace

void Vxi11Server::Register()
{
    const std::optional<int> registered = RegisteredPort();
    if (registered && *registered == core_.port) {
        registered_ = true;
        return;
    }
    if (registered && *registered != 0) {
        // Another server's: one that serves keeps it; one that is gone
        // (killed, so it could not remove it) gives it up.
        if (Listening(*registered)) {
            if (std::exchange(other_port_, *registered) != *registered) {
                log_(fmt::format(
                    "VXI-11 on port {}, but another VXI-11 server on this machine is registered "
                    "with rpcbind (port {}): INSTR resources reach that one; the raw ports serve "
                    "these units; this server takes the registration over once that one is gone",
                    core_.port, *registered));
            }
            registered_ = false;
            return;
        }
        Unset();
    }
    registered_ = registered && Set(core_.port);
    if (registered_) {
        if (std::exchange(rpcbind_missing_, false) || other_port_ != 0) {
            log_(fmt::format("VXI-11 on port {}: registered with rpcbind", core_.port));
        }
        other_port_ = 0;
    } else if (!std::exchange(rpcbind_missing_, true)) {
        log_(fmt::format(
            "VXI-11 on port {}, but no rpcbind took its registration: TCPIP::HOST::instN::INSTR "
            "resources and discovery need rpcbind running (Debian: apt install rpcbind; "
            "systemctl start rpcbind); the raw ports serve meanwhile, and the server registers "
            "once rpcbind runs",
            core_.port));
    }
}

void Vxi11Server::WatchRegistration()
{
    // rpcbind forgets every registration when it restarts; another server
    // registered may go away. Looked at every few seconds.
    std::unique_lock<std::mutex> lock(registrar_mutex_);
    while (!registrar_stop_.wait_for(lock, kRegistrationCheck, [&] { return stopping_.load(); })) {
        lock.unlock();
        Register();
        lock.lock();
    }
}

void Vxi11Server::Unregister()
{
    // Only this server's own registration: another server's stays.
    if (std::exchange(registered_, false) && RegisteredPort() == core_.port) {
        Unset();
    }
}

service::UnitOwner *Vxi11Server::Find(const std::string &device)
{
    for (std::size_t i = 0; i < units_.size(); ++i) {
        if (strcasecmp(device.c_str(), DeviceName(i).c_str()) == 0 ||
            strcasecmp(device.c_str(), SerialAlias(units_[i]->serial()).c_str()) == 0) {
            return units_[i];
        }
    }
    return nullptr;
}

void Vxi11Server::AcceptLoop()
{
    while (!stopping_) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {core_.fd, POLLIN, 0}, {abort_.fd, POLLIN, 0}};
        if (poll(fds, 3, kPollMs) < 0 && errno != EINTR) {
            log_(fmt::format("VXI-11: waiting for connections failed: {}; no more taken",
                             std::generic_category().message(errno)));
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        {
            // Connections that have ended go, with their links.
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if ((*it)->finished) {
                    (*it)->thread.join();
                    close((*it)->fd);
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (int i = 1; i < 3; ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                Take(fds[i].fd, i == 2);
            }
        }
    }
}

bool Vxi11Server::MakeRoom()
{
    // The oldest connection that serves no link: one that never made one
    // (a client that connected and said nothing), or an abort channel.
    Connection *oldest = nullptr;
    for (const auto &c : connections_) {
        if (c->place && !c->finished && (c->abort_channel || c->link_count == 0) &&
            (oldest == nullptr || c->since < oldest->since)) {
            oldest = c.get();
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    oldest->place = {};  // its place is the new one's at once
    oldest->End(
        fmt::format("closed to make room: the server serves at most {} connections, and "
                    "this one had no link",
                    net::kMaxVxi11Connections));
    return true;
}

void Vxi11Server::Take(int listener, bool abort_channel)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (net::ShortOfResources(errno)) {
            log_(fmt::format("VXI-11: cannot take a connection: {}",
                             std::generic_category().message(errno)));
            std::this_thread::sleep_for(net::kAcceptPause);
        }
        return;  // or gone before it was taken
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string refusal;
    std::optional<net::ConnectionGate::Ticket> place = connection_gate_.Admit("VXI-11", refusal);
    if (!place && MakeRoom()) {
        place = connection_gate_.Admit("VXI-11", refusal);
    }
    if (!place) {
        log_(fmt::format("VXI-11 {}: {}", net::PeerText(peer), refusal));
        close(fd);
        return;
    }
    net::SetConnectionOptions(fd);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->peer = net::PeerText(peer);
    c->address = peer;
    c->abort_channel = abort_channel;
    c->place = std::move(*place);
    Connection &connection = *c;
    connections_.push_back(std::move(c));
    try {
        connection.thread = std::thread([this, &connection, abort_channel] {
            Serve(connection, abort_channel);
            connection.finished = true;
        });
    } catch (const std::system_error &e) {
        log_(fmt::format("VXI-11 {}: no thread to serve it: {}", connection.peer, e.what()));
        connection.finished = true;
    }
}

std::unique_ptr<Vxi11Server::Connection> Vxi11Server::NewConnection(const std::string &peer)
{
    auto c = std::make_unique<Connection>();
    c->peer = peer;
    return c;
}

std::string Vxi11Server::AnswerCore(Connection &connection, std::string_view record)
{
    return rpc::Answer(record, {kCoreProgram, kVersion},
                       [&](const rpc::Call &call, rpc::XdrReader &args, rpc::XdrWriter &out) {
                           return Core(connection, call, args, out);
                       });
}

bool Vxi11Server::ConnectionBusy(Connection &c)
{
    return std::any_of(c.links.begin(), c.links.end(),
                       [](const auto &entry) { return entry.second->Busy(); });
}

void Vxi11Server::Serve(Connection &c, bool abort_channel)
{
    rpc::RecordReader stream;
    std::vector<char> chunk(kReadChunk);
    std::string reason = "closed by the client";
    try {
        for (;;) {
            pollfd p{c.fd, POLLIN, 0};
            const int ready = poll(&p, 1, kPollMs);
            if (ready < 0 && errno != EINTR) {
                reason = fmt::format("waiting on it failed: {}", net::ErrorText(errno));
                break;
            }
            if (stopping_) {
                break;
            }
            if (ready <= 0) {
                // Nothing came: a connection that makes no link, or sends
                // nothing for the idle time-out, goes.
                if (!abort_channel && c.link_count == 0 &&
                    Clock::now() - c.since >= net::kLinklessTimeout) {
                    reason = fmt::format("no link made within {} s; closed",
                                         std::chrono::seconds(net::kLinklessTimeout).count());
                    break;
                }
                if (net::IdleExpired(c.last_call, idle_timeout_s_, ConnectionBusy(c))) {
                    reason = fmt::format("nothing sent for {} s; closed", idle_timeout_s_);
                    break;
                }
                continue;
            }
            const ssize_t n = recv(c.fd, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || stopping_) {
                break;
            }
            c.last_call = Clock::now();
            stream.Append(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
            bool broken = false;
            while (auto record = stream.Next()) {
                const std::string reply =
                    abort_channel ? rpc::Answer(*record, {kAbortProgram, kVersion},
                                                [&](const rpc::Call &call, rpc::XdrReader &args,
                                                    rpc::XdrWriter &out) {
                                                    return AbortCall(call, args, out);
                                                })
                                  : AnswerCore(c, *record);
                c.last_call = Clock::now();  // idle from the end of its last call on
                if (!reply.empty() && !SendAll(c.fd, rpc::Framed(reply))) {
                    broken = true;
                    break;
                }
            }
            if (broken) {
                reason = "the connection broke";
                break;
            }
        }
    } catch (const rpc::Garbage &e) {
        reason = fmt::format("{}; closed", e.what());
    } catch (const std::exception &e) {
        reason = fmt::format("closed after an internal failure: {}", e.what());
    }
    {
        const std::lock_guard<std::mutex> lock(c.reason_mutex);
        if (!c.end_reason.empty()) {
            reason = c.end_reason;
        }
    }
    // Its links end here: their locks are let go.
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[lid, link] : c.links) {
            links_.erase(lid);
        }
    }
    const bool ended_here = reason != "closed by the client";
    c.links.clear();
    c.link_places.clear();
    c.link_count = 0;
    if (c.linked || ended_here) {
        log_(fmt::format("VXI-11 {}: {}", c.peer, reason));
    }
}

rpc::AcceptStat Vxi11Server::AbortCall(const rpc::Call &call, rpc::XdrReader &args,
                                       rpc::XdrWriter &out)
{
    if (call.procedure == 0) {
        return rpc::AcceptStat::kSuccess;  // the null procedure
    }
    if (call.procedure != kDeviceAbort) {
        return rpc::AcceptStat::kProcUnavail;
    }
    const std::uint32_t lid = args.U32();
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = links_.find(lid);
    if (it == links_.end()) {
        out.U32(kInvalidLink);
    } else {
        it->second->Abort();
        out.U32(kNoError);
    }
    return rpc::AcceptStat::kSuccess;
}

std::uint32_t Vxi11Server::OpenInterruptChannel(Connection &c, std::uint32_t host,
                                                std::uint32_t port, std::uint32_t program,
                                                std::uint32_t version, std::uint32_t family)
{
    // Only back to the client itself, over TCP: the server is no relay to
    // other addresses.
    if (family != 0 || c.address.ss_family != AF_INET ||
        reinterpret_cast<const sockaddr_in &>(c.address).sin_addr.s_addr != htonl(host) ||
        port == 0 || port > 0xFFFF) {
        return kParameterError;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return kOutOfResources;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    int error = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t length = sizeof error;
            error = poll(&p, 1, kInterruptConnectMs) == 1 &&
                            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
                        ? error
                        : ETIMEDOUT;
        }
    }
    if (error != 0) {
        close(fd);
        log_(fmt::format("VXI-11 {}: no interrupt channel to port {}: {}", c.peer, port,
                         std::generic_category().message(error)));
        return kChannelNotEstablished;
    }
    net::SetConnectionOptions(fd);
    c.interrupts = std::make_shared<InterruptChannel>(fd, program, version);
    return kNoError;
}

rpc::AcceptStat Vxi11Server::Core(Connection &c, const rpc::Call &call, rpc::XdrReader &args,
                                  rpc::XdrWriter &out)
{
    using rpc::AcceptStat;
    if (call.procedure == 0) {
        return AcceptStat::kSuccess;  // the null procedure
    }
    if (call.procedure == kCreateLink) {
        args.I32();  // the client's id: not used
        const bool lock_device = args.Bool();
        const std::uint32_t lock_timeout = args.U32();
        const std::string device = args.Opaque(kMaxDeviceName);
        service::UnitOwner *owner = Find(device);
        std::uint32_t error = kNoError;
        std::uint32_t lid = 0;
        std::optional<net::ConnectionGate::Ticket> place;
        if (owner == nullptr) {
            error = kInvalidAddress;
        } else {
            std::string refusal;
            place = link_gate_.Admit(fmt::format("unit {}", owner->serial()), refusal);
            if (!place) {
                log_(fmt::format("VXI-11 {}: link to {} {}", c.peer, device, refusal));
                error = kOutOfResources;
            }
        }
        if (error == kNoError) {
            const service::ConnectionId id = service::NewSessionId();
            lid = static_cast<std::uint32_t>(id);
            // No comma in the name: SYSTem:LOCK:OWNer? answers it whole.
            auto link = std::make_unique<Link>(
                *owner,
                sessions_(
                    *owner, id,
                    fmt::format("{} {} (unit {} over VXI-11)", c.peer, device, owner->serial()),
                    log_, stopping_),
                stopping_, [fd = c.fd] { return ClientGone(fd); },
                [&c](const std::string &why) { c.End(why); });
            if (lock_device && link->Lock(Millis(lock_timeout)) != kNoError) {
                error = kDeviceLocked;
            } else {
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    links_[lid] = link.get();
                }
                c.links[lid] = std::move(link);
                c.link_places[lid] = std::move(*place);
                ++c.link_count;
                c.linked = true;
                log_(fmt::format("VXI-11 {}: link {} to {} (unit {})", c.peer, lid, device,
                                 owner->serial()));
            }
        }
        if (error != kNoError) {
            lid = 0;
        }
        out.U32(error);
        out.U32(lid);
        out.U32(static_cast<std::uint32_t>(abort_.port));
        out.U32(static_cast<std::uint32_t>(kMaxMessageBytes));
        return AcceptStat::kSuccess;
    }
    if (call.procedure == kCreateIntrChan) {
        const std::uint32_t host = args.U32();
        const std::uint32_t port = args.U32();
        const std::uint32_t program = args.U32();
        const std::uint32_t version = args.U32();
        const std::uint32_t family = args.U32();
        out.U32(c.interrupts ? kChannelAlreadyEstablished
                             : OpenInterruptChannel(c, host, port, program, version, family));
        return AcceptStat::kSuccess;
    }
    if (call.procedure == kDestroyIntrChan) {
        const bool had = c.interrupts != nullptr;
        c.interrupts.reset();  // links that hold it stop signalling when it closes
        for (auto &[lid, link] : c.links) {
            link->EnableSrq(nullptr, "");
        }
        out.U32(had ? kNoError : kChannelNotEstablished);
        return AcceptStat::kSuccess;
    }
    if (call.procedure == kDeviceDoCmd) {
        out.U32(kOperationNotSupported);
        out.Opaque("");
        return AcceptStat::kSuccess;
    }

    // Every other procedure starts with the link id.
    const auto known = [](std::uint32_t p) {
        return p >= kDeviceWrite && p <= kDestroyLink && p != 21;
    };
    if (!known(call.procedure)) {
        return AcceptStat::kProcUnavail;
    }
    const std::uint32_t lid = args.U32();
    const auto it = c.links.find(lid);
    Link *link = it == c.links.end() ? nullptr : it->second.get();
    const auto answer_error = [&](std::uint32_t error) {
        out.U32(error);
        return AcceptStat::kSuccess;
    };
    // Device_GenericParms after the link: flags, lock_timeout, io_timeout.
    struct Generic {
        std::uint32_t flags, lock_timeout, io_timeout;
    };
    const auto generic = [&] {
        Generic g{};
        g.flags = args.U32();
        g.lock_timeout = args.U32();
        g.io_timeout = args.U32();
        return g;
    };
    const auto lock_wait = [](std::uint32_t flags, std::uint32_t lock_timeout) {
        return (flags & kFlagWaitLock) != 0 ? Millis(lock_timeout) : Ms(0);
    };

    switch (call.procedure) {
        case kDeviceWrite: {
            const std::uint32_t io_timeout = args.U32();
            const std::uint32_t lock_timeout = args.U32();
            const std::uint32_t flags = args.U32();
            (void)io_timeout;
            const std::string data = args.Opaque(rpc::kMaxRecordBytes);
            if (link == nullptr) {
                out.U32(kInvalidLink);
                out.U32(0);
                return AcceptStat::kSuccess;
            }
            const std::uint32_t error =
                link->Write(data, (flags & kFlagEnd) != 0, lock_wait(flags, lock_timeout));
            out.U32(error);
            out.U32(error == kNoError ? static_cast<std::uint32_t>(data.size()) : 0);
            return AcceptStat::kSuccess;
        }
        case kDeviceRead: {
            const std::uint32_t request = args.U32();
            const std::uint32_t io_timeout = args.U32();
            args.U32();  // lock_timeout: reading changes nothing, it does not wait for the lock
            const std::uint32_t flags = args.U32();
            const std::uint32_t term = args.U32();
            std::uint32_t reason = 0;
            std::string data;
            const std::uint32_t error =
                link == nullptr
                    ? kInvalidLink
                    : link->Read(std::min<std::size_t>(request, kMaxMessageBytes),
                                 (flags & kFlagTermCharSet) != 0
                                     ? std::optional<char>(static_cast<char>(term & 0xFF))
                                     : std::nullopt,
                                 Millis(io_timeout), reason, data);
            out.U32(error);
            out.U32(reason);
            out.Opaque(data);
            return AcceptStat::kSuccess;
        }
        case kDeviceReadStb: {
            const Generic g = generic();
            std::uint8_t stb = 0;
            const std::uint32_t error =
                link == nullptr ? kInvalidLink : link->ReadStb(Millis(g.io_timeout), stb);
            out.U32(error);
            out.U32(stb);
            return AcceptStat::kSuccess;
        }
        case kDeviceTrigger: {
            const Generic g = generic();
            return answer_error(
                link == nullptr ? kInvalidLink : link->Trigger(lock_wait(g.flags, g.lock_timeout)));
        }
        case kDeviceClear:
            generic();
            return answer_error(link == nullptr ? kInvalidLink : link->Clear());
        case kDeviceRemote:
        case kDeviceLocal:
            generic();  // the unit has no front panel to lock out: accepted
            return answer_error(link == nullptr ? kInvalidLink : kNoError);
        case kDeviceLock: {
            const std::uint32_t flags = args.U32();
            const std::uint32_t lock_timeout = args.U32();
            return answer_error(link == nullptr ? kInvalidLink
                                                : link->Lock(lock_wait(flags, lock_timeout)));
        }
        case kDeviceUnlock:
            return answer_error(link == nullptr ? kInvalidLink : link->Unlock());
        case kDeviceEnableSrq: {
            const bool enable = args.Bool();
            std::string handle = args.Opaque(kMaxSrqHandle);
            if (link == nullptr) {
                return answer_error(kInvalidLink);
            }
            if (enable && !c.interrupts) {
                return answer_error(kChannelNotEstablished);
            }
            link->EnableSrq(enable ? c.interrupts : nullptr, std::move(handle));
            return answer_error(kNoError);
        }
        case kDestroyLink: {
            if (link == nullptr) {
                return answer_error(kInvalidLink);
            }
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                links_.erase(lid);
            }
            c.links.erase(it);  // its lock goes with it
            c.link_places.erase(lid);
            if (--c.link_count == 0) {
                const std::lock_guard<std::mutex> lock(mutex_);
                c.since = Clock::now();  // a connection with no link again
            }
            return answer_error(kNoError);
        }
        default:
            return AcceptStat::kProcUnavail;
    }
}

}  // namespace vontrel::serve::vxi11
