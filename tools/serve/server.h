// The TCP side of the instrument server: one listening socket per unit,
// one thread per connection with its own input buffer and Instrument.
// Answers are written after the line has run and the unit's lock is let
// go, so a client that does not read blocks nobody but itself, and is
// dropped when its answers have not left within kSendTimeout.
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

// How long an answer may wait for a client that does not read.
inline constexpr auto kSendTimeout = std::chrono::seconds(10);

// An address to listen on.
struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;  // as given, for messages
};

// Resolves a numeric or named address ("127.0.0.1", "::", "localhost");
// throws std::invalid_argument when it names none.
ListenAddress ResolveListenAddress(const std::string &text);

class Server {
public:
    explicit Server(ListenAddress address, Log log);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens for `owner`'s unit on `port` (0: a free port the system
    // chooses) and returns the port. Throws std::runtime_error when it
    // cannot.
    int Listen(std::unique_ptr<UnitOwner> owner, int port);

    // Serves until `stop_fd` becomes readable, then closes every connection
    // (stopping their sweeps) and returns.
    void Run(int stop_fd);

private:
    struct Listener;
    struct Connection;

    void Accept(Listener &listener);
    void Serve(Connection &connection);
    void Reap(bool all);

    ListenAddress address_;
    Log log_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::list<Connection> connections_;
    std::atomic<bool> stopping_{false};
    std::uint64_t next_id_ = 1;
};

}  // namespace vontrel::serve

#endif
