// SPDX-License-Identifier: MIT
// Listening and connection sockets shared by every network front end.
#include "frontends/net/socket.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace vontrel::net {
namespace {

// Connections the kernel completes before the server accepts them: as many
// as a front end takes at once, so that a burst (a hundred idle clients,
// say) fills no queue and a new client's connection is not dropped and
// retried a second later.
constexpr int kBacklog = SOMAXCONN;

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

// Keepalive: a peer that has gone without a word (a machine switched off,
// a cable pulled) is found within a few minutes and its connection closed.
constexpr int kKeepIdleS = 60;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 6;

void SetOption(int fd, int level, int name, int value)
{
    setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

// strerror's text, without its static buffer.
std::string ErrorText(int error)
{
    return std::generic_category().message(error);
}

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
    // However it was written ("0", "0.0.0.0", "::", "0::0"): every interface.
    if (out.address.ss_family == AF_INET) {
        out.wildcard =
            reinterpret_cast<const sockaddr_in &>(out.address).sin_addr.s_addr == htonl(INADDR_ANY);
    } else if (out.address.ss_family == AF_INET6) {
        out.wildcard =
            IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 &>(out.address).sin6_addr);
    }
    freeaddrinfo(found);
    return out;
}

ListeningSocket OpenListener(const ListenAddress &where, int port)
{
    sockaddr_storage address = where.address;
    SetPort(address, port);
    const std::string text = fmt::format("{} port {}", where.text, port);
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(fmt::format("cannot listen on {}: {}", text, ErrorText(errno)));
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), where.length) != 0 ||
        listen(fd, kBacklog) != 0) {
        const int error = errno;
        close(fd);
        throw std::runtime_error(fmt::format("cannot listen on {}: {}", text, ErrorText(error)));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    return {fd,
            ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(bound).sin_port
                                             : reinterpret_cast<sockaddr_in6 &>(bound).sin6_port)};
}

void SetConnectionOptions(int fd)
{
    // Each answer goes out at once, whatever the client's own Nagle does.
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleS);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalS);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
}

std::string PeerText(const sockaddr_storage &peer)
{
    return AddressText(reinterpret_cast<const sockaddr *>(&peer));
}

bool ShortOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace vontrel::net
