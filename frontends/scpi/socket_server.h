// SPDX-License-Identifier: MIT
// The TCP side of the instrument server: one listening socket per unit,
// one thread per connection with its own input buffer, output queue and
// Instrument. Answers are queued after the line has run and the unit's
// lock is let go, and written as the client takes them, so a client that
// does not read blocks nobody but itself; it is dropped when an answer has
// not left within kAnswerDeadline or its queue grows past kMaxOutputBytes.
#ifndef VONTREL_FRONTENDS_SCPI_SOCKET_SERVER_H
#define VONTREL_FRONTENDS_SCPI_SOCKET_SERVER_H

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frontends/net/session_limits.h"
#include "frontends/net/socket.h"
#include "service/unit_owner.h"

namespace vontrel::serve {

using net::kAnswerDeadline;
using net::kDefaultIdleTimeoutS;
using net::kMaxConnectionsPerUnit;
using net::kMaxLineBytes;
using net::kMaxOutputBytes;
using net::ListenAddress;

class Server {
public:
    // `idle_timeout_s`: see kDefaultIdleTimeoutS.
    Server(ListenAddress address, service::Log log, int idle_timeout_s = kDefaultIdleTimeoutS);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens for `owner`'s unit on `port` (0: a free port the system
    // chooses) and returns the port. Throws std::runtime_error when it
    // cannot. The owner outlives the server: other front ends share it.
    int Listen(service::UnitOwner &owner, int port);

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
    service::Log log_;
    const int idle_timeout_s_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::list<Connection> connections_;
    std::atomic<bool> stopping_{false};
};

}  // namespace vontrel::serve

#endif
