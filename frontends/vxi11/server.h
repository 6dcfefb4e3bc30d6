// SPDX-License-Identifier: MIT
// The VXI-11 server: the core channel (links, reads, writes, locks) and
// the abort channel, each on a TCP port of its own, and the interrupt
// channels clients open for service requests; one thread per
// connection decoding its own records, so that a device_read that waits
// blocks only its own link. Each link is a message session (net/session.h)
// that the serve command's factory makes; the connections are capped
// (kMaxVxi11Connections, the oldest without a link making room for a new
// one), and so are the links per unit. The core port is registered with
// rpcbind, where VISA libraries and discovery look it up, and registered
// again whenever rpcbind has lost it (restarted).
#ifndef VONTREL_FRONTENDS_VXI11_SERVER_H
#define VONTREL_FRONTENDS_VXI11_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontends/net/session.h"
#include "frontends/net/socket.h"
#include "frontends/vxi11/rpc.h"
#include "service/unit_owner.h"

namespace vontrel::serve::vxi11 {

class Link;

class Vxi11Server {
public:
    // Serves `units` as inst0, inst1, ... (and by their serial aliases) on
    // `address`, each link a session that `sessions` makes. The owners
    // outlive the server. `idle_timeout_s`: see net::kDefaultIdleTimeoutS.
    Vxi11Server(net::ListenAddress address, service::Log log,
                std::vector<service::UnitOwner *> units, net::SessionFactory sessions,
                int idle_timeout_s = net::kDefaultIdleTimeoutS);
    ~Vxi11Server();  // every link ends; the registration with rpcbind goes
    Vxi11Server(const Vxi11Server &) = delete;
    Vxi11Server &operator=(const Vxi11Server &) = delete;

    // Listens (core and abort ports chosen by the system), registers the
    // core port with rpcbind and starts taking connections. Throws
    // std::runtime_error when it cannot listen.
    void Start();

    int core_port() const { return core_.port; }
    int abort_port() const { return abort_.port; }

    // Answers one core-channel record as a connection holding `links`
    // would: for the tests, which feed it records without a socket.
    struct Connection;
    std::string AnswerCore(Connection &connection, std::string_view record);
    std::unique_ptr<Connection> NewConnection(const std::string &peer);

private:
    void AcceptLoop();
    void Take(int listener, bool abort_channel);
    bool MakeRoom();  // under mutex_
    void Serve(Connection &connection, bool abort_channel);
    bool ConnectionBusy(Connection &connection);
    rpc::AcceptStat Core(Connection &connection, const rpc::Call &call, rpc::XdrReader &args,
                         rpc::XdrWriter &out);
    rpc::AcceptStat AbortCall(const rpc::Call &call, rpc::XdrReader &args, rpc::XdrWriter &out);
    std::uint32_t OpenInterruptChannel(Connection &c, std::uint32_t host, std::uint32_t port,
                                       std::uint32_t program, std::uint32_t version,
                                       std::uint32_t family);
    service::UnitOwner *Find(const std::string &device);
    void Register();
    void Unregister();
    void WatchRegistration();

    net::ListenAddress address_;
    service::Log log_;
    std::vector<service::UnitOwner *> units_;
    const net::SessionFactory sessions_;
    const int idle_timeout_s_;
    net::ConnectionGate connection_gate_{net::kMaxVxi11Connections, net::kMaxVxi11Connections,
                                         "VXI-11 connections"};
    net::ConnectionGate link_gate_{net::kMaxConnectionsPerUnit * 4, net::kMaxConnectionsPerUnit,
                                   "links"};
    net::ListeningSocket core_;
    net::ListeningSocket abort_;
    int wake_[2] = {-1, -1};  // a pipe that ends the accept loop
    std::atomic<bool> stopping_{false};
    // The registration with rpcbind: its own thread's, and the
    // destructor's once that has ended.
    bool registered_ = false;
    bool rpcbind_missing_ = false;  // said so in the log
    int other_port_ = 0;            // another server's registered port, said so
    std::mutex registrar_mutex_;
    std::condition_variable registrar_stop_;
    std::thread acceptor_;
    std::thread registrar_;

    std::mutex mutex_;  // the connections and the link table
    std::list<std::unique_ptr<Connection>> connections_;
    std::map<std::uint32_t, Link *> links_;  // every link, for device_abort
};

}  // namespace vontrel::serve::vxi11

#endif
