// SPDX-License-Identifier: MIT
// Sockets, connection threads and the input buffers of the server.
#include "frontends/scpi/socket_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "frontends/scpi/instrument.h"
#include "frontends/scpi/scpi_error.h"

namespace vontrel::serve {

struct Server::Listener {
    int fd = -1;
    int port = 0;
    service::UnitOwner *owner = nullptr;
    std::size_t active = 0;  // connections being served
};

struct Server::Connection {
    int fd = -1;
    service::ConnectionId id = 0;
    Listener *listener = nullptr;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
};

namespace {

constexpr int kPollMs = 500;
constexpr std::size_t kReadChunk = std::size_t{16} * 1024;

using Clock = std::chrono::steady_clock;

// One connection's bytes: lines in, answers out. Answers are queued whole
// and written as the client takes them; the server never waits in send().
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}

    // Appends what recv() gave; the caller takes lines off with NextLine().
    std::string input;
    bool overrun = false;       // dropping the rest of a line that is too long
    bool end_of_input = false;  // the client has closed its sending side

    // The next whole line, without its LF or CR LF; nullopt when none.
    std::optional<std::string> NextLine(Instrument &instrument)
    {
        for (;;) {
            const std::size_t lf = input.find('\n');
            if (lf == std::string::npos) {
                if (!overrun && input.size() > kMaxLineBytes) {
                    Overrun(instrument);
                }
                if (overrun) {
                    input.clear();
                }
                if (end_of_input && !input.empty()) {
                    std::string last = std::exchange(input, {});  // a last line without LF
                    return Trimmed(std::move(last));
                }
                return std::nullopt;
            }
            std::string line = input.substr(0, lf);
            input.erase(0, lf + 1);
            if (std::exchange(overrun, false)) {
                continue;  // the end of a line that was dropped
            }
            if (line.size() > kMaxLineBytes) {
                Overrun(instrument);
                overrun = false;
                continue;
            }
            return Trimmed(std::move(line));
        }
    }

    // Queues an answer.
    void Queue(std::string answer)
    {
        if (!answer.empty()) {
            queued_bytes_ += answer.size();
            answers_.push_back({std::move(answer), Clock::now() + kAnswerDeadline});
        }
    }

    // A new line has come: answers not yet begun are dropped, so that none
    // of them is taken for the new line's. Returns how many were.
    std::size_t DropUnsent()
    {
        const std::size_t keep = answers_.empty() || sent_ == 0 ? 0 : 1;
        const std::size_t dropped = answers_.size() - keep;
        while (answers_.size() > keep) {
            queued_bytes_ -= answers_.back().text.size();
            answers_.pop_back();
        }
        return dropped;
    }

    // Writes what the client takes now; false when the connection is gone.
    bool Flush()
    {
        while (!answers_.empty()) {
            const std::string &text = answers_.front().text;
            const ssize_t n =
                send(fd_, text.data() + sent_, text.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            }
            if (n <= 0) {
                return false;
            }
            sent_ += static_cast<std::size_t>(n);
            queued_bytes_ -= static_cast<std::size_t>(n);
            if (sent_ == text.size()) {
                handed_deadline_ = answers_.front().deadline;
                answers_.pop_front();
                sent_ = 0;
            }
        }
        return true;
    }

    bool Pending() const { return !answers_.empty(); }

    // Whether a whole line (or the last one, or one too long to keep) has
    // come and waits to be run.
    bool LineWaiting() const
    {
        return input.find('\n') != std::string::npos || (end_of_input && !input.empty()) ||
               input.size() > kMaxLineBytes;
    }

    // Why the client is to be dropped for not reading, or "" when it is not.
    std::string Stalled() const
    {
        if (queued_bytes_ > kMaxOutputBytes) {
            return fmt::format("more than {} bytes of answers not read; closed", kMaxOutputBytes);
        }
        // An answer handed to the system has left only once the client
        // has taken it: what the socket still holds counts too.
        const auto deadline = answers_.empty() ? handed_deadline_ : answers_.front().deadline;
        if (Clock::now() >= deadline && (!answers_.empty() || Unacknowledged() > 0)) {
            return fmt::format("an answer not taken within {} s; closed",
                               std::chrono::seconds(kAnswerDeadline).count());
        }
        return "";
    }

    // When the oldest answer must have left.
    std::optional<Clock::time_point> Deadline() const
    {
        if (answers_.empty()) {
            return std::nullopt;
        }
        return answers_.front().deadline;
    }

private:
    // Bytes written that the client has not acknowledged yet.
    std::size_t Unacknowledged() const
    {
        int bytes = 0;
        return ioctl(fd_, SIOCOUTQ, &bytes) == 0 && bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
    }

    static std::string Trimmed(std::string line)
    {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return line;
    }

    static void Overrun(Instrument &instrument)
    {
        instrument.Report(
            scpi::kInputBufferOverrun,
            fmt::format("a line is longer than {} bytes; it was dropped", kMaxLineBytes));
    }

    struct Answer {
        std::string text;
        Clock::time_point deadline;
    };
    const int fd_;
    std::deque<Answer> answers_;
    std::size_t sent_ = 0;  // bytes of the first answer already written
    std::size_t queued_bytes_ = 0;
    Clock::time_point handed_deadline_ = Clock::time_point::max();  // of the last answer written
};

}  // namespace

Server::Server(ListenAddress address, service::Log log, int idle_timeout_s)
    : address_(std::move(address)), log_(std::move(log)), idle_timeout_s_(idle_timeout_s)
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

int Server::Listen(service::UnitOwner &owner, int port)
{
    const net::ListeningSocket socket = net::OpenListener(address_, port);
    auto listener = std::make_unique<Listener>();
    listener->fd = socket.fd;
    listener->port = socket.port;
    listener->owner = &owner;
    listeners_.push_back(std::move(listener));
    return listeners_.back()->port;
}

bool Server::Run(int stop_fd)
{
    bool ok = true;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{stop_fd, POLLIN, 0});
        for (const auto &l : listeners_) {
            fds.push_back(pollfd{l->fd, POLLIN, 0});
        }
        const int ready = poll(fds.data(), fds.size(), kPollMs);
        if (ready < 0 && errno != EINTR) {
            log_(
                fmt::format("waiting for connections failed: {}; stopping", net::ErrorText(errno)));
            ok = false;
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            break;
        }
        for (std::size_t i = 1; ok && i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
                log_(fmt::format("port {} cannot take connections any more; stopping",
                                 listeners_[i - 1]->port));
                ok = false;
            } else if ((fds[i].revents & POLLIN) != 0) {
                ok = Accept(*listeners_[i - 1]);
            }
        }
        if (!ok) {
            break;
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
    return ok;
}

bool Server::Accept(Listener &listener)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (net::ShortOfResources(errno)) {
            log_(fmt::format("cannot take a connection: {}", net::ErrorText(errno)));
            std::this_thread::sleep_for(net::kAcceptPause);
            return true;
        }
        switch (errno) {
            case EBADF:
            case EFAULT:
            case EINVAL:
            case ENOTSOCK:
            case EOPNOTSUPP:
                log_(fmt::format("taking connections on port {} failed: {}; stopping",
                                 listener.port, net::ErrorText(errno)));
                return false;
            default:  // the client went before it was taken, a signal, a network error
                return true;
        }
    }
    const std::string who = net::PeerText(peer);
    Reap(false);  // connections that have just ended do not count
    if (listener.active >= kMaxConnectionsPerUnit) {
        log_(fmt::format("{}: refused, unit {} already serves {} connections", who,
                         listener.owner->serial(), kMaxConnectionsPerUnit));
        close(fd);
        return true;
    }
    net::SetConnectionOptions(fd);

    Connection &c = connections_.emplace_back();
    c.fd = fd;
    c.id = service::NewSessionId();
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
    return true;
}

void Server::Serve(Connection &c)
{
    const int serial = c.listener->owner->serial();
    const std::string who = fmt::format("{} (unit {})", c.peer, serial);
    log_(fmt::format("{}: connected", who));
    std::string reason = "closed by the client";
    try {
        Instrument instrument(*c.listener->owner, c.id, who, log_, stopping_);
        Channel channel(c.fd);
        std::string stalled;  // why the client is dropped while a line waits
        std::vector<char> chunk(kReadChunk);
        // A *OPC? or *WAI that waits asks this every so often.
        const Instrument::Interrupted watch = [&] {
            if (!channel.Flush()) {
                stalled = "the connection broke";
                return Instrument::Waiting::kGone;
            }
            if (stalled = channel.Stalled(); !stalled.empty()) {
                return Instrument::Waiting::kGone;
            }
            if (!channel.end_of_input && channel.input.size() <= kMaxLineBytes) {
                const ssize_t n = recv(c.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (n > 0) {
                    channel.input.append(chunk.data(), static_cast<std::size_t>(n));
                } else if (n == 0) {
                    channel.end_of_input = true;  // the wait goes on: its answer is awaited
                }
            }
            return channel.LineWaiting() ? Instrument::Waiting::kNewLine
                                         : Instrument::Waiting::kGoOn;
        };
        auto last_input = Clock::now();
        for (;;) {
            while (auto line = channel.NextLine(instrument)) {
                if (const std::size_t dropped = channel.DropUnsent(); dropped > 0) {
                    instrument.Report(scpi::kQueryInterrupted,
                                      fmt::format("{} answer{} not read before the next line",
                                                  dropped, dropped == 1 ? "" : "s"));
                }
                channel.Queue(instrument.Execute(*line, watch));
                last_input = Clock::now();  // idle from the end of its last line on
                if (stopping_ || !stalled.empty()) {
                    break;
                }
                if (!channel.Flush()) {
                    stalled = "the connection broke";
                    break;
                }
            }
            if (stopping_) {
                reason = "the server is stopping";
                break;
            }
            if (stalled = stalled.empty() ? channel.Stalled() : stalled; !stalled.empty()) {
                reason = stalled;
                break;
            }
            const bool busy = instrument.Sweeping() || channel.Pending();
            if (channel.end_of_input && !busy) {
                break;  // every line has run and every answer has left
            }
            // Wait for input, room for answers, the sweep's end, or a time-out.
            auto wake = Clock::now() + std::chrono::milliseconds(kPollMs);
            if (const auto deadline = channel.Deadline()) {
                wake = std::min(wake, *deadline);
            }
            const auto idle_end = last_input + std::chrono::seconds(idle_timeout_s_);
            if (idle_timeout_s_ > 0 && !busy) {
                if (Clock::now() >= idle_end) {
                    reason = fmt::format("nothing sent for {} s; closed", idle_timeout_s_);
                    break;
                }
                wake = std::min(wake, idle_end);
            }
            pollfd p{c.fd,
                     static_cast<short>((channel.end_of_input ? 0 : POLLIN) |
                                        (channel.Pending() ? POLLOUT : 0)),
                     0};
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
            if (poll(&p, 1, static_cast<int>(std::max<long>(0, wait.count()))) < 0 &&
                errno != EINTR) {
                reason = fmt::format("waiting on it failed: {}", net::ErrorText(errno));
                break;
            }
            if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {  // nothing can leave
                reason = "the connection broke";
                break;
            }
            if ((p.revents & POLLIN) != 0) {
                const ssize_t n = recv(c.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                    continue;
                }
                if (n < 0) {
                    reason = fmt::format("read failed: {}", net::ErrorText(errno));
                    break;
                }
                if (n == 0) {
                    channel.end_of_input = true;  // run what came, answer it, then close
                    continue;
                }
                // Acknowledged at once: a client that writes and then
                // queries does not wait for our delayed ACK.
                const int on = 1;
                setsockopt(c.fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
                channel.input.append(chunk.data(), static_cast<std::size_t>(n));
                last_input = Clock::now();
            }
            if (!channel.Flush()) {
                reason = "the connection broke";
                break;
            }
        }
        if (!stalled.empty()) {
            // What the system still holds for it is dropped, not sent at
            // its pace: the client learns at once that it was closed.
            const linger reset{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
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
