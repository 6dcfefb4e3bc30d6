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

#include <cerrno>
#include <chrono>

#include "frontends/net/session_limits.h"
#include "frontends/net/visa_resources.h"
#include "frontends/vxi11/link.h"
#include "frontends/vxi11/protocol.h"

namespace vontrel::serve::vxi11 {

struct Vxi11Server::Connection {
    int fd = -1;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::map<std::uint32_t, std::unique_ptr<Link>> links;  // the links made on it
    bool linked = false;                                   // it made one: its end is logged
    sockaddr_storage address{};                            // the client's
    std::shared_ptr<InterruptChannel> interrupts;          // create_intr_chan's
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
                         std::vector<service::UnitOwner *> units)
    : address_(std::move(address)), log_(std::move(log)), units_(std::move(units))
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
}

namespace {

// Whether a server listens on `port` of this machine's loopback address.
bool Listening(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

namespace {

// Removes the core program's TCP registration.
void Unset()
{
    if (netconfig *tcp = getnetconfigent("tcp")) {
        rpcb_unset(kCoreProgram, kVersion, tcp);
        freenetconfigent(tcp);
    }
}

}  // namespace

void Vxi11Server::Register()
{
    // rpcb_set with an address of our own: libtirpc's pmap_set leaks the
    // one it makes.
    const auto set = [&] {
        netconfig *tcp = getnetconfigent("tcp");
        if (tcp == nullptr) {
            return false;
        }
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(static_cast<std::uint16_t>(core_.port));
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        netbuf address{sizeof any, sizeof any, &any};
        const bool ok = rpcb_set(kCoreProgram, kVersion, tcp, &address) != 0;
        freenetconfigent(tcp);
        return ok;
    };
    registered_ = set();
    if (!registered_) {
        // Taken already: by a server that is gone (killed, so it could not
        // remove it), or by one that still serves, which keeps it.
        sockaddr_in rpcbind{};
        rpcbind.sin_family = AF_INET;
        rpcbind.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int other = pmap_getport(&rpcbind, kCoreProgram, kVersion, IPPROTO_TCP);
        if (other != 0 && Listening(other)) {
            log_(
                fmt::format("VXI-11 on port {}, but another VXI-11 server on this machine is "
                            "registered with rpcbind (port {}): INSTR resources reach that one; "
                            "the raw ports serve these units",
                            core_.port, other));
            return;
        }
        if (other != 0) {
            Unset();
            registered_ = set();
        }
    }
    if (!registered_) {
        log_(fmt::format(
            "VXI-11 on port {}, but no rpcbind took its registration: TCPIP::HOST::instN::INSTR "
            "resources and discovery need rpcbind running (Debian: apt install rpcbind; "
            "systemctl start rpcbind); the raw ports serve meanwhile",
            core_.port));
    }
}

void Vxi11Server::Unregister()
{
    if (std::exchange(registered_, false)) {
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
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int fd =
                accept4(fds[i].fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
            if (fd < 0) {
                if (net::ShortOfResources(errno)) {
                    log_(fmt::format("VXI-11: cannot take a connection: {}",
                                     std::generic_category().message(errno)));
                    std::this_thread::sleep_for(net::kAcceptPause);
                }
                continue;  // or gone before it was taken
            }
            net::SetConnectionOptions(fd);
            const std::lock_guard<std::mutex> lock(mutex_);
            auto c = std::make_unique<Connection>();
            c->fd = fd;
            c->peer = net::PeerText(peer);
            c->address = peer;
            Connection &connection = *c;
            connections_.push_back(std::move(c));
            const bool abort_channel = i == 2;
            try {
                connection.thread = std::thread([this, &connection, abort_channel] {
                    Serve(connection, abort_channel);
                    connection.finished = true;
                });
            } catch (const std::system_error &e) {
                log_(
                    fmt::format("VXI-11 {}: no thread to serve it: {}", connection.peer, e.what()));
                connection.finished = true;
            }
        }
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

void Vxi11Server::Serve(Connection &c, bool abort_channel)
{
    std::string stream;
    std::vector<char> chunk(kReadChunk);
    std::string reason = "closed by the client";
    try {
        for (;;) {
            const ssize_t n = recv(c.fd, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || stopping_) {
                break;
            }
            stream.append(chunk.data(), static_cast<std::size_t>(n));
            bool broken = false;
            while (auto record = rpc::NextRecord(stream)) {
                const std::string reply =
                    abort_channel ? rpc::Answer(*record, {kAbortProgram, kVersion},
                                                [&](const rpc::Call &call, rpc::XdrReader &args,
                                                    rpc::XdrWriter &out) {
                                                    return AbortCall(call, args, out);
                                                })
                                  : AnswerCore(c, *record);
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
    // Its links end here: their locks are let go.
    for (auto &[lid, link] : c.links) {
        const std::lock_guard<std::mutex> lock(mutex_);
        links_.erase(lid);
        --per_unit_[&link->owner()];
    }
    c.links.clear();
    if (c.linked) {
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
        if (owner == nullptr) {
            error = kInvalidAddress;
        } else {
            const std::unique_lock<std::mutex> lock(mutex_);
            if (per_unit_[owner] >= net::kMaxConnectionsPerUnit) {
                error = kOutOfResources;
            }
        }
        if (error == kNoError) {
            const service::ConnectionId id = service::NewSessionId();
            lid = static_cast<std::uint32_t>(id);
            auto link = std::make_unique<Link>(
                *owner, id, fmt::format("{} {} (unit {}, VXI-11)", c.peer, device, owner->serial()),
                log_, stopping_, [fd = c.fd] { return ClientGone(fd); });
            if (lock_device && link->Lock(Millis(lock_timeout)) != kNoError) {
                error = kDeviceLocked;
            } else {
                const std::lock_guard<std::mutex> lock(mutex_);
                links_[lid] = link.get();
                ++per_unit_[owner];
                c.links[lid] = std::move(link);
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
                --per_unit_[&link->owner()];
            }
            c.links.erase(it);  // its lock goes with it
            return answer_error(kNoError);
        }
        default:
            return AcceptStat::kProcUnavail;
    }
}

}  // namespace vontrel::serve::vxi11
