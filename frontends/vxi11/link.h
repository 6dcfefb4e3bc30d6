// SPDX-License-Identifier: MIT
// One VXI-11 link: a session on a unit with its own Instrument, as a raw
// connection has. Messages written to it run on the link's own thread, in
// the order they came, so that a device_write returns at once and a
// device_clear or device_abort can reach a link whose *OPC? is waiting;
// their answers wait in the link until device_read takes them.
#ifndef VONTREL_FRONTENDS_VXI11_LINK_H
#define VONTREL_FRONTENDS_VXI11_LINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "frontends/scpi/instrument.h"
#include "service/unit_owner.h"

namespace vontrel::serve::vxi11 {

// The most bytes one message may hold before its END; more is dropped with
// -363, as the raw socket drops a line too long.
inline constexpr std::size_t kMaxMessageBytes = std::size_t{64} * 1024;

// The interrupt channel a client opened with create_intr_chan: the server
// calls the client's device_intr_srq on it when a link's service request
// arises. One per core connection, shared by its links.
class InterruptChannel {
public:
    InterruptChannel(int fd, std::uint32_t program, std::uint32_t version)
        : fd_(fd), program_(program), version_(version)
    {
    }
    ~InterruptChannel();
    InterruptChannel(const InterruptChannel &) = delete;
    InterruptChannel &operator=(const InterruptChannel &) = delete;

    // Sends device_intr_srq with `handle`, without waiting for a reply;
    // false when the channel is gone.
    bool Signal(const std::string &handle);

private:
    std::mutex mutex_;
    const int fd_;
    const std::uint32_t program_;
    const std::uint32_t version_;
    std::uint32_t xid_ = 1;
};

class Link {
public:
    // `client_gone` tells whether the client's connection has closed: a
    // long wait for an answer or for the lock ends then, so that a client
    // that vanished does not keep its link, and the lock it holds, until
    // its time-out.
    Link(service::UnitOwner &owner, service::ConnectionId id, std::string who, service::Log log,
         const std::atomic<bool> &stopping, std::function<bool()> client_gone);
    // Ends a running wait, stops the thread; the Instrument lets the unit's
    // lock go.
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    service::ConnectionId id() const { return id_; }
    service::UnitOwner &owner() { return owner_; }

    using Ms = std::chrono::milliseconds;

    // device_write: `data` is added to the message; with `end` the message
    // runs. One that would change the unit while another session holds
    // its lock waits up to `lock_wait` for it, then is dropped with
    // kDeviceLocked.
    std::uint32_t Write(std::string_view data, bool end, Ms lock_wait);

    // device_read: up to `request` bytes of the next answer, waiting up to
    // `io_timeout` for one. `reason` gets the reason bits.
    std::uint32_t Read(std::size_t request, std::optional<char> term, Ms io_timeout,
                       std::uint32_t &reason, std::string &data);

    // device_readstb: the status byte, with MAV while an answer waits.
    std::uint32_t ReadStb(Ms io_timeout, std::uint8_t &stb);

    // device_trigger: *TRG.
    std::uint32_t Trigger(Ms lock_wait);

    // device_clear: input and answers dropped, a running wait ended, the
    // lock let go when this link holds it.
    std::uint32_t Clear();

    // device_lock, device_unlock.
    std::uint32_t Lock(Ms lock_wait);
    std::uint32_t Unlock();

    // device_abort (from the abort channel): a device_read waiting now
    // returns kAbort.
    void Abort();

    // device_enable_srq: while enabled, each time the status byte's
    // request service bit (bit 6) comes on, `channel` carries `handle` to
    // the client. nullptr disables it.
    void EnableSrq(std::shared_ptr<InterruptChannel> channel, std::string handle);

private:
    // Waits up to `wait` until this link may change the unit (`take`: and
    // takes the lock); false when it may not, or the server stops.
    bool AwaitLock(Ms wait, bool take);
    void Work();
    void RunMessage(const std::string &message, std::uint64_t generation);
    void ServeStatusByte();      // under mutex_, on the link's thread
    void WatchServiceRequest();  // under mutex_, on the link's thread

    service::UnitOwner &owner_;
    const service::ConnectionId id_;
    const std::atomic<bool> &stopping_;
    const std::function<bool()> client_gone_;
    Instrument instrument_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string input_;                 // the message being written
    bool overrun_ = false;              // dropping the rest of a message too long
    std::deque<std::string> messages_;  // messages to run
    std::deque<std::string> answers_;   // answers not yet read whole
    bool running_ = false;              // a message runs
    std::uint64_t generation_ = 0;      // counts device_clear
    std::uint64_t aborts_ = 0;          // counts device_abort
    bool stb_wanted_ = false;           // device_readstb waits for the status byte
    std::uint64_t stb_served_ = 0;      // status bytes served
    std::uint8_t stb_ = 0;
    bool gone_ = false;
    std::shared_ptr<InterruptChannel> srq_channel_;  // set while service requests are enabled
    std::string srq_handle_;
    bool srq_was_on_ = false;
    std::thread thread_;  // last: started once the rest is ready
};

}  // namespace vontrel::serve::vxi11

#endif
