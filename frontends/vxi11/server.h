// SPDX-License-Identifier: MIT
// The VXI-11 server: the core channel (links, reads, writes, locks) and
// the abort channel, each on a TCP port of its own, and the interrupt
// channels clients open for service requests; one thread per
// connection decoding its own records, so that a device_read that waits
// blocks only its own link. The core port is registered with rpcbind,
// where VISA libraries and discovery look it up.
#ifndef VONTREL_FRONTENDS_VXI11_SERVER_H
#define VONTREL_FRONTENDS_VXI11_SERVER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontends/net/socket.h"
#include "frontends/vxi11/rpc.h"
#include "service/unit_owner.h"

namespace vontrel::serve::vxi11 {

class Link;

class Vxi11Server {
public:
    // Serves `units` as inst0, inst1, ... (and by their serial aliases) on
    // `address`. The owners outlive the server.
    Vxi11Server(net::ListenAddress address, service::Log log,
                std::vector<service::UnitOwner *> units);
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
    void Serve(Connection &connection, bool abort_channel);
    rpc::AcceptStat Core(Connection &connection, const rpc::Call &call, rpc::XdrReader &args,
                         rpc::XdrWriter &out);
    rpc::AcceptStat AbortCall(const rpc::Call &call, rpc::XdrReader &args, rpc::XdrWriter &out);
    std::uint32_t OpenInterruptChannel(Connection &c, std::uint32_t host, std::uint32_t port,
                                       std::uint32_t program, std::uint32_t version,
                                       std::uint32_t family);
    service::UnitOwner *Find(const std::string &device);
    void Register();
    void Unregister();

    net::ListenAddress address_;
    service::Log log_;
    std::vector<service::UnitOwner *> units_;
    net::ListeningSocket core_;
    net::ListeningSocket abort_;
    int wake_[2] = {-1, -1};  // a pipe that ends the accept loop
    std::atomic<bool> stopping_{false};
    bool registered_ = false;
    std::thread acceptor_;

    std::mutex mutex_;  // the connections and the link table
    std::list<std::unique_ptr<Connection>> connections_;
    std::map<std::uint32_t, Link *> links_;                 // every link, for device_abort
    std::map<service::UnitOwner *, std::size_t> per_unit_;  // links open on each unit
};

}  // namespace vontrel::serve::vxi11

#endif
