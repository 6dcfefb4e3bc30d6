// SPDX-License-Identifier: MIT
// Listening and connection sockets shared by every network front end:
// the address to listen on, the listening socket, the options every
// connection gets, and how to tell a shortage of descriptors.
#ifndef VONTREL_FRONTENDS_NET_SOCKET_H
#define VONTREL_FRONTENDS_NET_SOCKET_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

namespace vontrel::net {

// An address to listen on.
struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;  // as given, for messages
};

// Resolves a numeric or named address ("127.0.0.1", "::", "localhost");
// throws std::invalid_argument when it names none.
ListenAddress ResolveListenAddress(const std::string &text);

// A listening TCP socket (non-blocking, close-on-exec) and its port.
struct ListeningSocket {
    int fd = -1;
    int port = 0;
};

// Listens on `address`, `port` (0: a free port the system chooses);
// throws std::runtime_error when it cannot.
ListeningSocket OpenListener(const ListenAddress &address, int port);

// No Nagle delay, and keepalive: a peer gone without a word is found
// within a few minutes.
void SetConnectionOptions(int fd);

// "127.0.0.1:40000", "[::1]:40000": a peer's address for log lines.
std::string PeerText(const sockaddr_storage &peer);

// accept failed for want of descriptors or memory (`error`): the
// connection stays queued and the listener readable, so taking pauses for
// kAcceptPause rather than spinning until some are free.
bool ShortOfResources(int error);
inline constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// strerror's text, without its static buffer.
std::string ErrorText(int error);

}  // namespace vontrel::net

#endif
