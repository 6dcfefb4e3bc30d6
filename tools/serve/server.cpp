// Sockets, connection threads and the input buffers of the server.
#include "tools/serve/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "tools/serve/instrument.h"
#include "tools/serve/scpi_error.h"

namespace vontrel::serve {

struct Server::Listener {
    int fd = -1;
    int port = 0;
    std::unique_ptr<UnitOwner> owner;
    std::size_t active = 0;  // connections being served
};

struct Server::Connection {
    int fd = -1;
    ConnectionId id = 0;
    Listener *listener = nullptr;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
};

namespace {

constexpr int kPollMs = 500;
constexpr int kBacklog = 16;
constexpr std::size_t kReadChunk = std::size_t{16} * 1024;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::string AddressText(const sockaddr *address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(address);  // NOLINT
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return fmt::format("{}:{}", host, port);
    }
    if (address->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);  // NOLINT
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    return fmt::format("[{}]:{}", host, port);
}

void SetPort(sockaddr_storage &address, int port)
{
    if (address.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in &>(address).sin_port = htons(static_cast<uint16_t>(port));
    } else {
        reinterpret_cast<sockaddr_in6 &>(address).sin6_port = htons(static_cast<uint16_t>(port));
    }
}

// strerror's text, without its static buffer.
std::string ErrorText(int error)
{
    return std::generic_category().message(error);
}

// Whether the client has closed its side: a wait on its behalf is over.
bool PeerGone(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Writes all of `text`; false when the client did not take it in time or
// the connection is gone.
bool SendAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

ListenAddress ResolveListenAddress(const std::string &text)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        throw std::invalid_argument(fmt::format("--listen {}: not an address of this machine ({})",
                                                text, rc != 0 ? gai_strerror(rc) : "no address"));
    }
    ListenAddress out;
    std::memcpy(&out.address, found->ai_addr, found->ai_addrlen);
    out.length = found->ai_addrlen;
    out.text = text;
    freeaddrinfo(found);
    return out;
}

Server::Server(ListenAddress address, Log log) : address_(std::move(address)), log_(std::move(log))
{
}

Server::~Server()
{
    for (auto &c : connections_) {
        shutdown(c.fd, SHUT_RDWR);
    }
    stopping_ = true;
    Reap(true);
    for (auto &l : listeners_) {
        if (l->fd >= 0) {
            close(l->fd);
        }
    }
}

int Server::Listen(std::unique_ptr<UnitOwner> owner, int port)
{
    sockaddr_storage address = address_.address;
    SetPort(address, port);
    const std::string where = fmt::format("{} port {}", address_.text, port);
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(fmt::format("cannot listen on {}: {}", where, ErrorText(errno)));
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), address_.length) != 0 ||
        listen(fd, kBacklog) != 0) {
        const int error = errno;
        close(fd);
        throw std::runtime_error(fmt::format("cannot listen on {}: {}", where, ErrorText(error)));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    auto listener = std::make_unique<Listener>();
    listener->fd = fd;
    listener->port =
        ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(bound).sin_port
                                         : reinterpret_cast<sockaddr_in6 &>(bound).sin6_port);
    listener->owner = std::move(owner);
    listeners_.push_back(std::move(listener));
    return listeners_.back()->port;
}

void Server::Run(int stop_fd)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{stop_fd, POLLIN, 0});
        for (const auto &l : listeners_) {
            fds.push_back(pollfd{l->fd, POLLIN, 0});
        }
        const int ready = poll(fds.data(), fds.size(), kPollMs);
        if (ready < 0 && errno != EINTR) {
            log_(fmt::format("poll failed: {}; stopping", ErrorText(errno)));
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            break;
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                Accept(*listeners_[i - 1]);
            }
        }
        Reap(false);
    }
    stopping_ = true;
    for (auto &l : listeners_) {
        close(std::exchange(l->fd, -1));
    }
    for (auto &c : connections_) {
        shutdown(c.fd, SHUT_RDWR);  // wakes its thread; the descriptor stays ours
    }
    Reap(true);
}

void Server::Accept(Listener &listener)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            log_(fmt::format("cannot take a connection: {}", ErrorText(errno)));
            std::this_thread::sleep_for(kAcceptPause);
        }
        return;
    }
    const std::string who = AddressText(reinterpret_cast<sockaddr *>(&peer));
    Reap(false);  // connections that have just ended do not count
    if (listener.active >= kMaxConnectionsPerUnit) {
        log_(fmt::format("{}: refused, unit {} already serves {} connections", who,
                         listener.owner->serial(), kMaxConnectionsPerUnit));
        close(fd);
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const timeval send_timeout{std::chrono::seconds(kSendTimeout).count(), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);

    Connection &c = connections_.emplace_back();
    c.fd = fd;
    c.id = next_id_++;
    c.listener = &listener;
    c.peer = who;
    ++listener.active;
    try {
        c.thread = std::thread([this, &c] {
            Serve(c);
            c.finished = true;
        });
    } catch (const std::system_error &e) {
        log_(fmt::format("{}: no thread to serve it: {}", who, e.what()));
        c.finished = true;
    }
}

void Server::Serve(Connection &c)
{
    const int serial = c.listener->owner->serial();
    const std::string who = fmt::format("{} (unit {})", c.peer, serial);
    log_(fmt::format("{}: connected", who));
    std::string reason = "closed by the client";
    try {
        Instrument instrument(*c.listener->owner, c.id, who, log_, stopping_);
        const Instrument::Interrupted interrupted = [&] { return PeerGone(c.fd); };
        std::string pending;
        bool overrun = false;  // dropping the rest of a line that is too long
        std::vector<char> chunk(kReadChunk);
        for (;;) {
            const ssize_t n = recv(c.fd, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (stopping_) {
                    reason = "the server is stopping";
                } else if (n < 0) {
                    reason = fmt::format("read failed: {}", ErrorText(errno));
                }
                break;
            }
            std::string_view data(chunk.data(), static_cast<std::size_t>(n));
            bool open = true;
            while (open && !data.empty()) {
                const std::size_t lf = data.find('\n');
                const std::string_view piece = data.substr(0, lf);
                if (!overrun && pending.size() + piece.size() > kMaxLineBytes) {
                    instrument.Report(scpi::kInputBufferOverrun,
                                      fmt::format("a line is longer than {} bytes; it was dropped",
                                                  kMaxLineBytes));
                    overrun = true;
                    pending.clear();
                    pending.shrink_to_fit();
                }
                if (!overrun) {
                    pending.append(piece);
                }
                if (lf == std::string_view::npos) {
                    break;
                }
                data.remove_prefix(lf + 1);
                if (std::exchange(overrun, false)) {
                    continue;  // the end of the line that was dropped
                }
                std::string_view line = pending;
                if (!line.empty() && line.back() == '\r') {
                    line.remove_suffix(1);
                }
                const std::string response = instrument.Execute(line, interrupted);
                pending.clear();
                if (stopping_) {
                    reason = "the server is stopping";
                    open = false;
                } else if (!response.empty() && !SendAll(c.fd, response)) {
                    reason = "it did not take its answers; closed";
                    open = false;
                }
            }
            if (!open) {
                break;
            }
        }
    } catch (const std::exception &e) {
        reason = fmt::format("closed after an internal failure: {}", e.what());
    }
    log_(fmt::format("{}: {}", who, reason));
}

void Server::Reap(bool all)
{
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (!all && !it->finished) {
            ++it;
            continue;
        }
        if (it->thread.joinable()) {
            it->thread.join();
        }
        close(it->fd);
        --it->listener->active;
        it = connections_.erase(it);
    }
}

}  // namespace vontrel::serve
