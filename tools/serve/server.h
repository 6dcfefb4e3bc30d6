// SPDX-License-Identifier: MIT
// The TCP side of the instrument server: one listening socket per unit,
// one thread per connection with its own input buffer, output queue and
// Instrument. Answers are queued after the line has run and the unit's
// lock is let go, and written as the client takes them, so a client that
// does not read blocks nobody but itself; it is dropped when an answer has
// not left within kAnswerDeadline or its queue grows past kMaxOutputBytes.
#ifndef VONTREL_TOOLS_SERVE_SERVER_H
#define VONTREL_TOOLS_SERVE_SERVER_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/serve/unit_owner.h"

namespace vontrel::serve {

// The longest line taken, without its LF; a longer one is dropped with -363.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;

// Clients served at once on one unit's port; further ones are closed.
inline constexpr std::size_t kMaxConnectionsPerUnit = 32;

// accept failed for want of descriptors or memory (`error`): the
// connection stays queued and the listener readable, so taking pauses for
// kAcceptPause rather than spinning until some are free.
bool ShortOfResources(int error);
inline constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// How long an answer may take to leave, whole, for a client that does not
// read; and the most answer bytes waiting for one.
inline constexpr auto kAnswerDeadline = std::chrono::seconds(10);
inline constexpr std::size_t kMaxOutputBytes = std::size_t{4} * 1024 * 1024;

// A connection that sends nothing this long, with no sweep or wait of its
// own running, is closed (0: never).
inline constexpr int kDefaultIdleTimeoutS = 600;

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

class Server {
public:
    // `idle_timeout_s`: see kDefaultIdleTimeoutS.
    Server(ListenAddress address, Log log, int idle_timeout_s = kDefaultIdleTimeoutS);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens for `owner`'s unit on `port` (0: a free port the system
    // chooses) and returns the port. Throws std::runtime_error when it
    // cannot. The owner outlives the server: other front ends share it.
    int Listen(UnitOwner &owner, int port);

    // Serves until `stop_fd` becomes readable, then closes every connection
    // (stopping their sweeps) and returns true. Returns false, after closing
    // them all the same, when waiting for connections failed.
    bool Run(int stop_fd);

private:
    struct Listener;
    struct Connection;

    bool Accept(Listener &listener);  // false when the port cannot take any more
    void Serve(Connection &connection);
    void Reap(bool all);

    ListenAddress address_;
    Log log_;
    const int idle_timeout_s_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::list<Connection> connections_;
    std::atomic<bool> stopping_{false};
};

}  // namespace vontrel::serve

#endif
