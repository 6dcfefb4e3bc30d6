// SPDX-License-Identifier: MIT
// What every client session is promised, whatever its front end, and the
// pieces each front end keeps it with (the numbers are in
// session_limits.h):
//  - a new message ends a pending wait (*OPC?, *WAI) and the answers not
//    yet read: both go with -410, and the new message gets its own answer
//    (AnswerQueue, MessageSession::Waiting);
//  - at most kMaxOutputBytes of answers wait unread; past that the session
//    ends (AnswerQueue);
//  - a session that sends nothing for the idle time-out, with no sweep or
//    wait of its own running, ends, and with it any lock it holds
//    (IdleExpired);
//  - a cap on connections per server and per unit, with a clear refusal
//    (ConnectionGate);
//  - keepalive on every connection (socket.h).
// A front end runs its clients' messages through a MessageSession, which
// the SCPI instrument implements; the serve command hands each front end a
// SessionFactory that makes them, so that no front end knows another.
#ifndef VONTREL_FRONTENDS_NET_SESSION_H
#define VONTREL_FRONTENDS_NET_SESSION_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "frontends/net/session_limits.h"
#include "service/unit_owner.h"

namespace vontrel::net {

// One client's session on a unit: it runs the client's messages, one line
// at a time, and keeps the client's own state between them (error queue,
// status registers, sweep).
class MessageSession {
public:
    // What a waiting line learns from its front end: nothing new, a new
    // message has come (the wait ends, the line answers nothing and -410
    // is queued), or the session is ending.
    enum class Waiting { kGoOn, kNewMessage, kGone };
    using Interrupted = std::function<Waiting()>;

    // What a front end tells the session of, for its error queue.
    enum class Notice {
        kInputOverrun,    // a message too long was dropped
        kAnswersDropped,  // answers not read before the next message
        kTriggerIgnored,  // a trigger with no sweep waiting for it
    };

    virtual ~MessageSession() = default;

    // Runs one line (without its terminator) and returns its answer, ended
    // with LF, or "" when it answers nothing.
    virtual std::string Execute(std::string_view line, const Interrupted &interrupted) = 0;

    virtual void Report(Notice notice, const std::string &detail) = 0;

    // Whether a sweep of this session runs: it is not idle then.
    virtual bool Busy() = 0;

    // Whether `line` would change the unit (refused while another session
    // holds the unit's lock).
    virtual bool WouldChange(std::string_view line) = 0;

    // The status byte, and a trigger for this session's sweep. Neither
    // touches the unit, so a front end may call them while a line of this
    // session waits (from its Interrupted).
    virtual std::uint8_t StatusByte() = 0;
    virtual bool Trigger() = 0;

    virtual service::ConnectionId id() const = 0;
    virtual const std::string &who() const = 0;
};

// Makes a session on `owner`'s unit. `who` names it in log lines and as
// the holder of the unit's lock; when `stopping` becomes true its waits end.
using SessionFactory = std::function<std::unique_ptr<MessageSession>(
    service::UnitOwner &owner, service::ConnectionId id, std::string who, service::Log log,
    const std::atomic<bool> &stopping)>;

// The answers a session holds for its client, in order, with what the
// client has taken of the first.
class AnswerQueue {
public:
    // Adds an answer; false once more than kMaxOutputBytes wait unread: the
    // session is to end.
    bool Add(std::string answer);

    // A new message has come: the answers not yet begun are dropped (with
    // `keep_begun` false, the one begun too); returns how many were.
    std::size_t DropUnread(bool keep_begun);

    bool Empty() const { return answers_.empty(); }
    std::size_t Bytes() const { return bytes_; }
    bool OverLimit() const { return bytes_ > kMaxOutputBytes; }

    // What is left of the first answer, and the client's taking `n` bytes
    // of it; true when that finished it.
    std::string_view Front() const;
    bool Take(std::size_t n);

    // When the first answer was added.
    std::chrono::steady_clock::time_point FrontSince() const { return answers_.front().since; }

    void Clear();

private:
    struct Answer {
        std::string text;
        std::chrono::steady_clock::time_point since;
    };
    std::deque<Answer> answers_;
    std::size_t taken_ = 0;  // bytes of the first answer taken
    std::size_t bytes_ = 0;  // bytes not yet taken, of all
};

// Whether a session idle since `last_input` has passed the idle time-out
// (`idle_timeout_s`, 0: never) while nothing of its own runs (`busy`).
bool IdleExpired(std::chrono::steady_clock::time_point last_input, int idle_timeout_s, bool busy);

// Counts a server's connections, in all and per key (a unit, a client
// address), and refuses one past either cap with a message that says so.
class ConnectionGate {
public:
    // `what`: what is counted, for the message ("connections", "links").
    ConnectionGate(std::size_t per_server, std::size_t per_key, std::string what);

    // A connection admitted; lets its place go when it is destroyed.
    class Ticket {
    public:
        Ticket() = default;
        Ticket(ConnectionGate *gate, std::string key) : gate_(gate), key_(std::move(key)) {}
        Ticket(Ticket &&other) noexcept
            : gate_(std::exchange(other.gate_, nullptr)), key_(std::move(other.key_))
        {
        }
        Ticket &operator=(Ticket &&other) noexcept;
        ~Ticket() { Release(); }
        Ticket(const Ticket &) = delete;
        Ticket &operator=(const Ticket &) = delete;
        explicit operator bool() const { return gate_ != nullptr; }

    private:
        void Release();
        ConnectionGate *gate_ = nullptr;
        std::string key_;
    };

    // A place for a connection of `key`, or none, with `refusal` saying why.
    std::optional<Ticket> Admit(const std::string &key, std::string &refusal);

    // Whether `key` (or the server) has no place left now.
    bool Full(const std::string &key);

    std::size_t per_server() const { return per_server_; }
    std::size_t per_key() const { return per_key_; }

private:
    std::mutex mutex_;
    const std::size_t per_server_;
    const std::size_t per_key_;
    const std::string what_;
    std::size_t total_ = 0;
    std::map<std::string, std::size_t> counts_;
};

}  // namespace vontrel::net

#endif
