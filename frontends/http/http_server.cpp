// SPDX-License-Identifier: MIT
// The web front end's event-driven HTTP/1.1 server.
#include "frontends/http/http_server.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "frontends/http/security.h"
#include "frontends/net/session_limits.h"
#include "frontends/net/text.h"

namespace vontrel::serve::web {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = std::size_t{16} * 1024;
constexpr int kTickMs = 250;
constexpr auto kStreamTick = std::chrono::seconds(1);
// A stream whose client reads nothing stops being fed at this much unsent.
constexpr std::size_t kMaxStreamBacklog = std::size_t{256} * 1024;

const char *ReasonPhrase(int status)
{
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 421:
            return "Misdirected Request";
        case 422:
            return "Unprocessable Content";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string ErrorBody(const std::string &message)
{
    return nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                   nlohmann::json::error_handler_t::replace);
}

Response Error(int status, const std::string &message)
{
    Response r;
    r.status = status;
    r.body = ErrorBody(message);
    return r;
}

bool IsToken(std::string_view text)
{
    static constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               kExtra.find(c) != std::string_view::npos;
    });
}

std::string Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return "";
    }
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

std::string PercentDecoded(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) != 0) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string &path)
{
    std::vector<std::string> parts;
    std::size_t at = 1;
    while (at <= path.size()) {
        const std::size_t slash = path.find('/', at);
        parts.push_back(
            path.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        if (slash == std::string::npos) {
            break;
        }
        at = slash + 1;
    }
    return parts;
}

const char *ContentType(const std::string &name)
{
    const auto ends = [&](const char *suffix) {
        const std::string s(suffix);
        return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    return ends(".html")  ? "text/html; charset=utf-8"
           : ends(".js")  ? "text/javascript; charset=utf-8"
           : ends(".css") ? "text/css; charset=utf-8"
           : ends(".svg") ? "image/svg+xml"
           : ends(".png") ? "image/png"
                          : "application/octet-stream";
}

}  // namespace

struct HttpServer::Connection {
    enum class State { kReading, kWorking, kWriting, kStreaming };
    std::uint64_t id = 0;
    int fd = -1;
    std::string address;  // the client's, without the port
    std::string peer;
    State state = State::kReading;
    std::string in;
    std::optional<Clock::time_point> request_start;  // the first byte of the request being read
    Clock::time_point idle_since = Clock::now();
    std::string out;
    Clock::time_point out_since;  // when what waits in `out` began to wait
    bool close_after = false;
    bool continued = false;  // 100 Continue sent for this request
    std::shared_ptr<EventStream> stream;
    Clock::time_point stream_tick;
    bool writing = false;               // EPOLLOUT asked for
    net::ConnectionGate::Ticket place;  // among the server's and the address's
};

std::string Request::Header(const std::string &lower_name) const
{
    const auto it = headers.find(lower_name);
    return it == headers.end() ? std::string() : it->second;
}

std::optional<std::string> Request::Param(const std::string &name) const
{
    std::size_t at = 0;
    while (at <= query.size()) {
        const std::size_t amp = std::min(query.find('&', at), query.size());
        const std::string_view pair = std::string_view(query).substr(at, amp - at);
        const std::size_t eq = pair.find('=');
        if (PercentDecoded(pair.substr(0, eq)) == name) {
            return eq == std::string_view::npos ? std::string()
                                                : PercentDecoded(pair.substr(eq + 1));
        }
        at = amp + 1;
    }
    return std::nullopt;
}

HttpServer::HttpServer(service::Log log, Before before, std::function<void(Response &)> after,
                       std::string files)
    : log_(std::move(log)),
      before_(std::move(before)),
      after_(std::move(after)),
      files_(std::move(files))
{
}

HttpServer::~HttpServer()
{
    stopping_ = true;
    work_ready_.notify_all();
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
    }
    if (loop_.joinable()) {
        loop_.join();
    }
    for (std::thread &worker : workers_) {
        worker.join();
    }
    for (auto &[id, c] : connections_) {
        close(c->fd);
    }
    connections_.clear();  // their places go back to gate_ while it is there
    for (const int fd : {listener_, epoll_, wake_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void HttpServer::Route(const std::string &method, const std::string &pattern, Handler handler,
                       bool quick)
{
    routes_.push_back({method, Split(pattern), std::move(handler), quick});
}

int HttpServer::Start(const net::ListenAddress &address, int port)
{
    const net::ListeningSocket socket = net::OpenListener(address, port);
    listener_ = socket.fd;
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0) {
        throw std::runtime_error(fmt::format("web front end: {}", net::ErrorText(errno)));
    }
    for (const int fd : {listener_, wake_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = fd == listener_ ? 0 : ~std::uint64_t{0};
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    for (int i = 0; i < kWorkers; ++i) {
        workers_.emplace_back([this] { Work(); });
    }
    loop_ = std::thread([this] { Loop(); });
    return socket.port;
}

void HttpServer::Notify()
{
    news_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

void HttpServer::Loop()
{
    std::vector<epoll_event> events(64);
    while (!stopping_) {
        const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), kTickMs);
        if (n < 0 && errno != EINTR) {
            log_(fmt::format("web front end: waiting failed: {}; it stops", net::ErrorText(errno)));
            return;
        }
        for (int i = 0; i < std::max(n, 0) && !stopping_; ++i) {
            const std::uint64_t id = events[static_cast<std::size_t>(i)].data.u64;
            const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
            if (id == 0) {
                Accept();
                continue;
            }
            if (id == ~std::uint64_t{0}) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = read(wake_, &count, sizeof count);
                std::deque<Done> done;
                {
                    const std::lock_guard<std::mutex> lock(work_mutex_);
                    done.swap(done_);
                }
                for (Done &d : done) {
                    const auto it = connections_.find(d.connection);
                    if (it != connections_.end() &&
                        it->second->state == Connection::State::kWorking) {
                        Answer(*it->second, std::move(d.response));
                    }
                }
                if (news_.exchange(false)) {
                    std::vector<std::uint64_t> streams;
                    for (auto &[cid, c] : connections_) {
                        if (c->state == Connection::State::kStreaming) {
                            streams.push_back(cid);
                        }
                    }
                    for (const std::uint64_t cid : streams) {
                        if (const auto it = connections_.find(cid); it != connections_.end()) {
                            Stream(*it->second);
                        }
                    }
                }
                continue;
            }
            const auto it = connections_.find(id);
            if (it == connections_.end()) {
                continue;
            }
            Connection &c = *it->second;
            if ((what & (EPOLLERR | EPOLLHUP)) != 0) {
                Close(id, "the connection broke");
                continue;
            }
            if ((what & EPOLLOUT) != 0) {
                Write(c);
                if (connections_.count(id) == 0) {
                    continue;
                }
            }
            if ((what & (EPOLLIN | EPOLLRDHUP)) != 0) {
                Read(c);
            }
        }
        Expire();
    }
}

bool HttpServer::MakeRoom(const std::string &address, bool address_full)
{
    // The connection idle longest (no request begun), of this address when
    // it is the address that is full.
    Connection *oldest = nullptr;
    for (auto &[id, c] : connections_) {
        if (c->state == Connection::State::kReading && c->in.empty() &&
            (!address_full || c->address == address) &&
            (oldest == nullptr || c->idle_since < oldest->idle_since)) {
            oldest = c.get();
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    Close(oldest->id, "closed to make room for a new connection");
    return true;
}

void HttpServer::Accept()
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (net::ShortOfResources(errno)) {
                log_(fmt::format("web front end: cannot take a connection: {}",
                                 net::ErrorText(errno)));
                // Taken again after a pause, not spun on.
                epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
                accept_paused_until_ = Clock::now() + net::kAcceptPause;
            }
            return;
        }
        const std::string who = net::PeerText(peer);
        const std::string address = who.substr(0, who.rfind(':'));
        std::string refusal;
        std::optional<net::ConnectionGate::Ticket> place = gate_.Admit(address, refusal);
        if (!place && MakeRoom(address, connections_.size() < net::kMaxWebConnections)) {
            place = gate_.Admit(address, refusal);
        }
        if (!place) {
            const std::string body = ErrorBody(fmt::format(
                "{}; the server serves {} connections at most, {} from one address; try again",
                refusal, net::kMaxWebConnections, net::kMaxWebConnectionsPerAddress));
            const std::string reply = fmt::format(
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                "Connection: close\r\nContent-Length: {}\r\n\r\n{}",
                body.size(), body);
            [[maybe_unused]] const ssize_t n =
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        net::SetConnectionOptions(fd);
        auto c = std::make_unique<Connection>();
        c->id = next_id_++;
        c->fd = fd;
        c->peer = who;
        c->address = address;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = c->id;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            continue;
        }
        c->place = std::move(*place);
        connections_[c->id] = std::move(c);
    }
}

void HttpServer::Close(std::uint64_t id, const std::string &why)
{
    (void)why;
    const auto it = connections_.find(id);
    if (it == connections_.end()) {
        return;
    }
    epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second->fd, nullptr);
    close(it->second->fd);
    connections_.erase(it);  // its place, and a stream, end with it
}

void HttpServer::Read(Connection &c)
{
    char chunk[kReadChunk];
    const ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        Close(c.id, "closed by the client");
        return;
    }
    if (c.state == Connection::State::kStreaming) {
        return;  // nothing is asked of a stream
    }
    if (c.in.size() + static_cast<std::size_t>(n) > kMaxHeaderBytes + kMaxBodyBytes + kReadChunk) {
        Close(c.id, "sent more than a request before its answer");
        return;
    }
    if (c.in.empty() && c.state == Connection::State::kReading) {
        c.request_start = Clock::now();
    }
    c.in.append(chunk, static_cast<std::size_t>(n));
    if (c.state == Connection::State::kReading) {
        Parse(c);
    }
}

void HttpServer::Parse(Connection &c)
{
    const std::size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (c.in.size() > kMaxHeaderBytes) {
            c.close_after = true;
            c.state = Connection::State::kWorking;
            Answer(c, Error(431, fmt::format("a request's headers are at most {} bytes",
                                             kMaxHeaderBytes)));
        }
        return;
    }
    const auto refuse = [&](int status, const std::string &message) {
        c.close_after = true;
        c.state = Connection::State::kWorking;
        Answer(c, Error(status, message));
    };
    if (end > kMaxHeaderBytes) {
        return refuse(431,
                      fmt::format("a request's headers are at most {} bytes", kMaxHeaderBytes));
    }
    std::istringstream lines(c.in.substr(0, end + 2));
    std::string line;
    std::getline(lines, line);
    if (line.empty() || line.back() != '\r') {
        return refuse(400, "a request line ends with CR LF");
    }
    line.pop_back();
    Request request;
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) {
        return refuse(400, "not an HTTP request line");
    }
    request.method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = line.substr(sp2 + 1);
    if (!IsToken(request.method) || target.empty() || target[0] != '/' ||
        target.find_first_of(" \t") != std::string::npos ||
        (version != "HTTP/1.1" && version != "HTTP/1.0")) {
        return refuse(400, "not an HTTP/1.1 request line");
    }
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string::npos ? "" : target.substr(question + 1);
    while (std::getline(lines, line)) {
        if (line.empty() || line.back() != '\r') {
            return refuse(400, "a header line ends with CR LF");
        }
        line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || !IsToken(std::string_view(line).substr(0, colon))) {
            return refuse(400, "a header line is NAME: VALUE");
        }
        const std::string name = net::AsciiLower(line.substr(0, colon));
        const std::string value = Trim(std::string_view(line).substr(colon + 1));
        if (request.headers.count(name) != 0 &&
            (name == "content-length" || name == "host" || request.headers[name] != value)) {
            if (name == "content-length" || name == "host") {
                return refuse(400, fmt::format("the header {} is sent once", name));
            }
            request.headers[name] += ", " + value;
            continue;
        }
        request.headers[name] = value;
    }
    if (request.headers.count("transfer-encoding") != 0) {
        return refuse(501, "a request body is sent with Content-Length");
    }
    std::size_t length = 0;
    if (const std::string text = request.Header("content-length"); !text.empty()) {
        if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
            return refuse(400, "Content-Length is a number");
        }
        length = std::stoul(text);
    }
    if (length > kMaxBodyBytes) {
        return refuse(413, fmt::format("a request body is at most {} bytes", kMaxBodyBytes));
    }
    const bool http10 = version == "HTTP/1.0";
    const std::string connection = net::AsciiLower(request.Header("connection"));
    c.close_after = http10 ? connection.find("keep-alive") == std::string::npos
                           : connection.find("close") != std::string::npos;
    if (c.in.size() < end + 4 + length) {
        if (!c.continued && net::AsciiLower(request.Header("expect")) == "100-continue") {
            c.continued = true;
            const std::string proceed = "HTTP/1.1 100 Continue\r\n\r\n";
            [[maybe_unused]] const ssize_t n =
                send(c.fd, proceed.data(), proceed.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        return;  // the body is still on its way
    }
    request.body = c.in.substr(end + 4, length);
    request.remote = c.peer;
    c.in.erase(0, end + 4 + length);
    c.continued = false;
    c.state = Connection::State::kWorking;
    Dispatch(c, std::move(request));
}

void HttpServer::Dispatch(Connection &c, Request request)
{
    Response response;
    try {
        if (before_(request, response)) {
            return Answer(c, std::move(response));
        }
    } catch (const std::exception &e) {
        return Answer(c, Error(500, e.what()));
    }
    const std::vector<std::string> parts = Split(request.path);
    for (const RouteEntry &route : routes_) {
        if (route.parts.size() != parts.size() ||
            (route.method != request.method &&
             !(route.method == "GET" && request.method == "HEAD"))) {
            continue;
        }
        std::vector<std::string> numbers;
        bool match = true;
        for (std::size_t i = 0; match && i < parts.size(); ++i) {
            if (route.parts[i] == "#") {
                match = !parts[i].empty() && parts[i].size() <= 6 &&
                        parts[i].find_first_not_of("0123456789") == std::string::npos;
                numbers.push_back(parts[i]);
            } else if (route.parts[i] == "*") {
                match = !parts[i].empty() && parts[i].size() <= 63;
                numbers.push_back(parts[i]);
            } else {
                match = route.parts[i] == parts[i];
            }
        }
        if (!match) {
            continue;
        }
        request.matches = std::move(numbers);
        if (route.quick) {
            try {
                route.handler(request, response);
            } catch (const std::exception &e) {
                response = Error(500, e.what());
            }
            return Answer(c, std::move(response));
        }
        {
            const std::lock_guard<std::mutex> lock(work_mutex_);
            if (work_.size() < kMaxQueuedRequests) {
                work_.push_back({c.id, {std::move(request), route.handler}});
                work_ready_.notify_one();
                return;
            }
        }
        return Answer(c, Error(503, "too many requests wait; try again"));
    }
    if ((request.method == "GET" || request.method == "HEAD") && StaticFile(request, response)) {
        return Answer(c, std::move(response));
    }
    Answer(c, Error(404, fmt::format("nothing at {}", request.path)));
}

bool HttpServer::StaticFile(const Request &request, Response &response)
{
    const std::string name = request.path == "/" ? "index.html" : request.path.substr(1);
    if (name.empty() || name[0] == '.' ||
        name.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
            std::string::npos) {
        return false;
    }
    std::ifstream file(files_ + "/" + name, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    response.status = 200;
    response.type = ContentType(name);
    response.body = content.str();
    return true;
}

void HttpServer::Work()
{
    for (;;) {
        std::pair<std::uint64_t, std::pair<Request, Handler>> job;
        {
            std::unique_lock<std::mutex> lock(work_mutex_);
            work_ready_.wait(lock, [&] { return stopping_ || !work_.empty(); });
            if (stopping_) {
                return;
            }
            job = std::move(work_.front());
            work_.pop_front();
        }
        Response response;
        try {
            job.second.second(job.second.first, response);
        } catch (const std::exception &e) {
            response = Error(500, e.what());
        }
        {
            const std::lock_guard<std::mutex> lock(work_mutex_);
            done_.push_back({job.first, std::move(response)});
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
    }
}

void HttpServer::Answer(Connection &c, Response response)
{
    after_(response);
    std::string head = fmt::format("HTTP/1.1 {} {}\r\nContent-Type: {}\r\n", response.status,
                                   ReasonPhrase(response.status), response.type);
    for (const auto &[name, value] : response.headers) {
        head += fmt::format("{}: {}\r\n", name, value);
    }
    if (response.stream) {
        // Chunked, as clients expect of a stream; its end is the
        // connection's.
        head += "Transfer-Encoding: chunked\r\n\r\n";
        c.close_after = false;
        c.out += head;
        c.out_since = Clock::now();
        c.stream = std::move(response.stream);
        c.state = Connection::State::kStreaming;
        c.stream_tick = Clock::now();
        Stream(c);
        return;
    }
    head += fmt::format("Content-Length: {}\r\n{}\r\n", response.body.size(),
                        c.close_after ? "Connection: close\r\n" : "");
    if (c.out.empty()) {
        c.out_since = Clock::now();
    }
    c.out += head;
    c.out += response.body;  // for HEAD, too: a page never asks with HEAD
    c.state = Connection::State::kWriting;
    Write(c);
}

void HttpServer::Write(Connection &c)
{
    const std::uint64_t id = c.id;
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            Close(id, "the connection broke");
            return;
        }
        c.out.erase(0, static_cast<std::size_t>(n));
        c.out_since = Clock::now();
    }
    const bool want = !c.out.empty();
    if (want != c.writing) {
        c.writing = want;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | (want ? static_cast<std::uint32_t>(EPOLLOUT) : 0U);
        event.data.u64 = id;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
    }
    if (want) {
        return;
    }
    if (c.state == Connection::State::kStreaming) {
        if (c.close_after) {
            Close(id, "the stream has ended");
        }
        return;
    }
    if (c.state == Connection::State::kWriting) {
        if (c.close_after) {
            Close(id, "answered");
            return;
        }
        // Ready for the next request, which may have come already.
        c.state = Connection::State::kReading;
        c.idle_since = Clock::now();
        c.request_start = c.in.empty() ? std::nullopt : std::optional(Clock::now());
        if (!c.in.empty()) {
            Parse(c);
        }
    }
}

void HttpServer::Stream(Connection &c)
{
    if (c.out.size() < kMaxStreamBacklog && !c.close_after) {
        std::optional<std::string> next;
        try {
            next = c.stream->Next();
        } catch (const std::exception &e) {
            log_(fmt::format("web event stream: {}", e.what()));
            next = std::string();
        }
        if (!next) {
            c.close_after = true;
            c.out += "0\r\n\r\n";
        } else if (!next->empty()) {
            if (c.out.empty()) {
                c.out_since = Clock::now();
            }
            c.out += fmt::format("{:x}\r\n{}\r\n", next->size(), *next);
        }
    }
    Write(c);
}

void HttpServer::Expire()
{
    const auto now = Clock::now();
    if (accept_paused_until_ && now >= *accept_paused_until_) {
        accept_paused_until_.reset();
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = 0;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
    }
    std::vector<std::pair<std::uint64_t, const char *>> ending;
    std::vector<std::uint64_t> ticking;
    std::vector<std::uint64_t> late;
    for (auto &[id, c] : connections_) {
        switch (c->state) {
            case Connection::State::kReading:
                if (c->request_start && now - *c->request_start > kRequestReadTimeout) {
                    late.push_back(id);
                } else if (!c->request_start && now - c->idle_since > kIdleTimeout) {
                    ending.emplace_back(id, "idle");
                }
                break;
            case Connection::State::kWorking:
                break;
            case Connection::State::kWriting:
            case Connection::State::kStreaming:
                if (!c->out.empty() && now - c->out_since > net::kAnswerDeadline) {
                    ending.emplace_back(id, "its answer was not taken");
                } else if (c->state == Connection::State::kStreaming &&
                           now - c->stream_tick >= kStreamTick) {
                    c->stream_tick = now;
                    ticking.push_back(id);
                }
                break;
        }
    }
    for (const auto &[id, why] : ending) {
        Close(id, why);
    }
    for (const std::uint64_t id : late) {
        if (const auto it = connections_.find(id); it != connections_.end()) {
            it->second->close_after = true;
            it->second->state = Connection::State::kWorking;
            Answer(*it->second,
                   Error(408, fmt::format("a request is sent whole within {} s",
                                          std::chrono::seconds(kRequestReadTimeout).count())));
        }
    }
    for (const std::uint64_t id : ticking) {
        if (const auto it = connections_.find(id); it != connections_.end()) {
            Stream(*it->second);
        }
    }
}

}  // namespace vontrel::serve::web
