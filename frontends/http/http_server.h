// SPDX-License-Identifier: MIT
// The web front end's HTTP/1.1 server: one thread waits on every
// connection at once (epoll), so that a client that is slow, idle or
// trickling a byte at a time holds a descriptor and a little memory, never
// a thread; handlers that may reach a unit run on a few worker threads, and
// event streams are written from the waiting thread. Every request must
// have come whole within kRequestReadTimeout of its first byte, an idle
// connection goes after kIdleTimeout, an answer must have left within
// net::kAnswerDeadline; connections are capped per server and per client
// address (net/session_limits.h), an idle one making room for a new one.
#ifndef VONTREL_FRONTENDS_HTTP_HTTP_SERVER_H
#define VONTREL_FRONTENDS_HTTP_HTTP_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frontends/net/session.h"
#include "frontends/net/session_limits.h"
#include "frontends/net/socket.h"
#include "service/unit_owner.h"

namespace vontrel::serve::web {

// A request must have come whole (headers and body) this soon after its
// first byte; a connection with no request begun is closed after
// kIdleTimeout.
inline constexpr auto kRequestReadTimeout = std::chrono::seconds(10);
inline constexpr auto kIdleTimeout = std::chrono::seconds(10);
// The most bytes of a request line and its headers.
inline constexpr std::size_t kMaxHeaderBytes = std::size_t{16} * 1024;
// Threads that run the handlers which may reach a unit, and the most
// requests waiting for one of them.
inline constexpr int kWorkers = 4;
inline constexpr std::size_t kMaxQueuedRequests = 256;

struct Request {
    std::string method;                          // "GET", "POST", ...
    std::string path;                            // without the query
    std::string query;                           // after '?', as sent
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string remote;                // the client's address and port
    std::vector<std::string> matches;  // the route's "#" and "*" parts, in order

    std::string Header(const std::string &lower_name) const;
    // A query parameter, percent-decoded; nullopt when absent.
    std::optional<std::string> Param(const std::string &name) const;
};

// A stream of server-sent events: Next() is asked on the server's waiting
// thread when there is news (Notify()) and every second; it returns the
// bytes to send now ("" for nothing), or nullopt when the stream ends.
class EventStream {
public:
    virtual ~EventStream() = default;
    virtual std::optional<std::string> Next() = 0;
};

struct Response {
    int status = 200;
    std::string type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<EventStream> stream;  // set: the body is this stream
};

class HttpServer {
public:
    using Handler = std::function<void(const Request &, Response &)>;

    // `before` runs first for every request, on the waiting thread (it
    // must not reach a unit): true when it has answered. `after` adds to
    // every response. `files`: the folder static files come from.
    using Before = std::function<bool(const Request &, Response &)>;
    HttpServer(service::Log log, Before before, std::function<void(Response &)> after,
               std::string files);
    ~HttpServer();  // stops, closes every connection
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Routes: a pattern of literal parts, "#" for a number and "*" for any
    // part of 1 to 63 bytes, matched whole ("/api/units/#/sweep"). `quick` handlers run on the waiting
    // thread and must not reach a unit; the others on the workers.
    void Route(const std::string &method, const std::string &pattern, Handler handler,
               bool quick = false);

    // Listens and serves from a thread of its own; returns the port.
    // Throws std::runtime_error when it cannot listen.
    int Start(const net::ListenAddress &address, int port);

    // Wakes the event streams: each is asked for its Next().
    void Notify();

    struct Connection;

private:
    struct RouteEntry {
        std::string method;
        std::vector<std::string> parts;
        Handler handler;
        bool quick;
    };
    struct Done {
        std::uint64_t connection;
        Response response;
    };

    void Loop();
    void Accept();
    bool MakeRoom(const std::string &address, bool address_full);
    void Read(Connection &c);
    void Parse(Connection &c);
    void Dispatch(Connection &c, Request request);
    void Answer(Connection &c, Response response);
    void Write(Connection &c);
    void Close(std::uint64_t id, const std::string &why);
    void Expire();
    void Stream(Connection &c);
    void Work();
    bool StaticFile(const Request &request, Response &response);

    const service::Log log_;
    const Before before_;
    const std::function<void(Response &)> after_;
    const std::string files_;
    std::vector<RouteEntry> routes_;
    int listener_ = -1;
    int epoll_ = -1;
    int wake_ = -1;  // an eventfd: news, answers done, stop
    std::atomic<bool> stopping_{false};
    std::atomic<bool> news_{false};
    std::thread loop_;
    std::uint64_t next_id_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;  // the loop's own
    net::ConnectionGate gate_{net::kMaxWebConnections, net::kMaxWebConnectionsPerAddress,
                              "connections"};
    std::optional<std::chrono::steady_clock::time_point> accept_paused_until_;

    std::mutex work_mutex_;
    std::condition_variable work_ready_;
    std::deque<std::pair<std::uint64_t, std::pair<Request, Handler>>> work_;
    std::deque<Done> done_;
    std::vector<std::thread> workers_;
};

}  // namespace vontrel::serve::web

#endif
