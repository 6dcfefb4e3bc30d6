// SPDX-License-Identifier: MIT
// A VXI-11 link's messages, answers, status byte and lock.
#include "frontends/vxi11/link.h"

#include <fmt/format.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "frontends/scpi/scpi_error.h"
#include "frontends/scpi/status_registers.h"
#include "frontends/vxi11/protocol.h"
#include "frontends/vxi11/rpc.h"

namespace vontrel::serve::vxi11 {
namespace {

// Message available: an answer waits to be read (IEEE 488.2).
constexpr std::uint8_t kStbMessageAvailable = 1U << 4;

// A device_clear waits this long for a running line to end.
constexpr auto kClearWait = std::chrono::seconds(2);

// A wait for the unit's lock or for an answer looks at the server's stop
// and at the client's connection this often.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// How often an idle link with service requests enabled looks at its
// status byte (a sweep's end sets bits of it on the sweep's thread).
constexpr auto kSrqPoll = std::chrono::milliseconds(50);

// The lines of a message: split at LF, each without its CR LF or LF.
std::vector<std::string_view> Lines(std::string_view message)
{
    std::vector<std::string_view> lines;
    while (!message.empty()) {
        const std::size_t lf = message.find('\n');
        std::string_view line = message.substr(0, lf);
        message = lf == std::string_view::npos ? std::string_view{} : message.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

InterruptChannel::~InterruptChannel()
{
    close(fd_);
}

bool InterruptChannel::Signal(const std::string &handle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    char drain[256];
    while (recv(fd_, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        // replies the client sent to earlier signals: not needed
    }
    rpc::XdrWriter call;
    for (const std::uint32_t word : {xid_++, 0U, 2U, program_, version_,
                                     static_cast<std::uint32_t>(kDeviceIntrSrq), 0U, 0U, 0U, 0U}) {
        call.U32(word);
    }
    call.Opaque(handle);
    const std::string record = rpc::Framed(call.data());
    return send(fd_, record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(record.size());
}

Link::Link(service::UnitOwner &owner, service::ConnectionId id, std::string who, service::Log log,
           const std::atomic<bool> &stopping, std::function<bool()> client_gone)
    : owner_(owner),
      id_(id),
      stopping_(stopping),
      client_gone_(std::move(client_gone)),
      instrument_(owner, id, std::move(who), std::move(log), stopping),
      thread_([this] { Work(); })
{
}

Link::~Link()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::uint32_t Link::Write(std::string_view data, bool end, Ms lock_wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!overrun_ && input_.size() + data.size() > kMaxMessageBytes) {
        overrun_ = true;
        input_.clear();
        instrument_.Report(
            scpi::kInputBufferOverrun,
            fmt::format("a message is longer than {} bytes; it was dropped", kMaxMessageBytes));
    }
    if (!overrun_) {
        input_.append(data);
    }
    if (!end) {
        return kNoError;
    }
    std::string message = std::exchange(input_, {});
    if (std::exchange(overrun_, false)) {
        return kNoError;
    }
    lock.unlock();
    const std::vector<std::string_view> lines = Lines(message);
    const bool changes = std::any_of(lines.begin(), lines.end(), Instrument::WouldChange);
    if (changes && !AwaitLock(lock_wait, false)) {
        return kDeviceLocked;
    }
    lock.lock();
    messages_.push_back(std::move(message));
    changed_.notify_all();
    return kNoError;
}

std::uint32_t Link::Read(std::size_t request, std::optional<char> term, Ms io_timeout,
                         std::uint32_t &reason, std::string &data)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t generation = generation_;
    const std::uint64_t aborts = aborts_;
    const auto woken = [&] {
        return !answers_.empty() || aborts_ != aborts || generation_ != generation || gone_ ||
               stopping_;
    };
    // In slices, looking between them whether the client is still there.
    const auto deadline = std::chrono::steady_clock::now() + io_timeout;
    bool ready = woken();
    while (!ready && std::chrono::steady_clock::now() < deadline) {
        ready = changed_.wait_until(
            lock, std::min(deadline, std::chrono::steady_clock::now() + kWaitSlice), woken);
        if (!ready && client_gone_()) {
            return kIoError;  // nobody to answer
        }
    }
    if (aborts_ != aborts || generation_ != generation || gone_ || stopping_) {
        return kAbort;
    }
    if (!ready) {
        return kIoTimeout;
    }
    std::string &answer = answers_.front();
    std::size_t n = std::min(request, answer.size());
    reason = 0;
    if (term) {
        if (const std::size_t at = answer.find(*term); at < n) {
            n = at + 1;
            reason |= kReasonTermChar;
        }
    }
    data = answer.substr(0, n);
    answer.erase(0, n);
    if (answer.empty()) {
        answers_.pop_front();
        reason |= kReasonEnd;
    } else if (n == request) {
        reason |= kReasonRequestCount;
    }
    return kNoError;
}

std::uint32_t Link::ReadStb(Ms io_timeout, std::uint8_t &stb)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t served = stb_served_;
    stb_wanted_ = true;
    changed_.notify_all();
    if (!changed_.wait_for(lock, io_timeout, [&] { return stb_served_ != served || gone_; }) ||
        stb_served_ == served) {
        return kIoTimeout;
    }
    stb = stb_ | (answers_.empty() ? 0 : kStbMessageAvailable);
    return kNoError;
}

std::uint32_t Link::Trigger(Ms lock_wait)
{
    if (!AwaitLock(lock_wait, false)) {
        return kDeviceLocked;
    }
    // The sweep takes a trigger from any thread; nothing else is touched.
    if (!instrument_.Trigger()) {
        instrument_.Report(scpi::kTriggerIgnored, "no sweep of this link waits for a trigger");
    }
    return kNoError;
}

std::uint32_t Link::Clear()
{
    std::unique_lock<std::mutex> lock(mutex_);
    ++generation_;
    input_.clear();
    overrun_ = false;
    messages_.clear();
    answers_.clear();
    changed_.notify_all();
    changed_.wait_for(lock, kClearWait, [&] { return !running_; });
    answers_.clear();  // what the line ended meanwhile answered
    lock.unlock();
    owner_.session_lock().Unlock(id_);
    return kNoError;
}

std::uint32_t Link::Lock(Ms lock_wait)
{
    return AwaitLock(lock_wait, true) ? kNoError : kDeviceLocked;
}

bool Link::AwaitLock(Ms wait, bool take)
{
    // In slices, so that a client's long lock_timeout does not hold up the
    // server's stop.
    const auto end = std::chrono::steady_clock::now() + wait;
    service::SessionLock &lock = owner_.session_lock();
    for (;;) {
        const auto left = std::chrono::ceil<Ms>(end - std::chrono::steady_clock::now());
        const Ms slice = std::clamp(left, Ms(0), kWaitSlice);
        if (take ? lock.Lock(id_, instrument_.who(), slice) : lock.WaitUntilFree(id_, slice)) {
            return true;
        }
        if (left <= slice || stopping_ || client_gone_()) {
            return false;
        }
    }
}

std::uint32_t Link::Unlock()
{
    return owner_.session_lock().Unlock(id_) ? kNoError : kNoLockHeld;
}

void Link::Abort()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++aborts_;
    }
    changed_.notify_all();
}

void Link::EnableSrq(std::shared_ptr<InterruptChannel> channel, std::string handle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    srq_channel_ = std::move(channel);
    srq_handle_ = std::move(handle);
    srq_was_on_ = false;
    changed_.notify_all();
}

void Link::WatchServiceRequest()
{
    if (!srq_channel_) {
        return;
    }
    const bool on = (instrument_.ReadStatusByte() & kStbRequestService) != 0;
    if (on && !srq_was_on_ && !srq_channel_->Signal(srq_handle_)) {
        srq_channel_.reset();  // the client's channel is gone
    }
    srq_was_on_ = on;
}

void Link::ServeStatusByte()
{
    if (std::exchange(stb_wanted_, false)) {
        stb_ = instrument_.ReadStatusByte();
        ++stb_served_;
        changed_.notify_all();
    }
}

void Link::Work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto woken = [&] { return gone_ || stb_wanted_ || !messages_.empty(); };
        if (srq_channel_) {
            changed_.wait_for(lock, kSrqPoll, woken);
        } else {
            changed_.wait(lock, woken);
        }
        if (gone_) {
            return;
        }
        WatchServiceRequest();
        if (messages_.empty()) {
            ServeStatusByte();  // after the messages written before it have run
            continue;
        }
        std::string message = std::move(messages_.front());
        messages_.pop_front();
        running_ = true;
        const std::uint64_t generation = generation_;
        lock.unlock();
        RunMessage(message, generation);
        lock.lock();
        running_ = false;
        WatchServiceRequest();
        changed_.notify_all();
    }
}

void Link::RunMessage(const std::string &message, std::uint64_t generation)
{
    // A wait in *OPC? or *WAI serves the status byte meanwhile, and ends
    // on device_clear or when the link goes.
    const Instrument::Interrupted interrupted = [&] {
        const std::lock_guard<std::mutex> lock(mutex_);
        ServeStatusByte();
        WatchServiceRequest();
        return gone_ || generation_ != generation ? Instrument::Waiting::kGone
                                                  : Instrument::Waiting::kGoOn;
    };
    for (const std::string_view line : Lines(message)) {
        std::string answer = instrument_.Execute(line, interrupted);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (gone_ || generation_ != generation) {
            return;  // cleared: the rest of the message is dropped
        }
        if (!answer.empty()) {
            answers_.push_back(std::move(answer));
            changed_.notify_all();
        }
    }
}

}  // namespace vontrel::serve::vxi11
