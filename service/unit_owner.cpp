// SPDX-License-Identifier: MIT
// The owner of a served unit: its lock, and opening it again after a failure.
#include "service/unit_owner.h"

#include <fmt/format.h>

#include <atomic>

#include "include/vontrel_status.h"

namespace vontrel::service {
namespace {

// The first pause between two looks for a lost unit, doubled after each
// look that does not find it, up to kMaxReopenInterval: a client that keeps
// sending commands to an unplugged unit does not make the server walk the
// converters (and open every free one) for every one of them.
constexpr auto kReopenInterval = std::chrono::milliseconds(200);

// Opening units walks every converter and opens each unit that is free, so
// two owners must not do it at once.
std::mutex &DiscoveryMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Units this process holds open through its owners. A walk finds them
// matched but not opened, like units another program holds, so they are
// taken off that count before a missing unit is said to be in use.
std::atomic<int> &OpenHere()
{
    static std::atomic<int> count{0};
    return count;
}

}  // namespace

UnitOwner::Access::~Access()
{
    std::vector<std::string> notes = std::move(owner_.notes_);
    owner_.notes_.clear();
    lock_.unlock();
    if (changed_) {
        {
            const std::lock_guard<std::mutex> lock(owner_.changes_mutex_);
            ++owner_.changes_;
        }
        owner_.changed_.notify_all();
    }
    for (const std::string &note : notes) {
        owner_.log_(note);
    }
}

std::uint64_t UnitOwner::changes()
{
    const std::lock_guard<std::mutex> lock(changes_mutex_);
    return changes_;
}

std::uint64_t UnitOwner::WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(changes_mutex_);
    changed_.wait_for(lock, timeout, [&] { return changes_ != seen; });
    return changes_;
}

UnitOwner::UnitOwner(vontrel::Unit unit, Log log)
    : serial_(unit.serial()), log_(std::move(log)), unit_(std::move(unit)), was_open_(true)
{
    if (unit_.is_open()) {
        ++OpenHere();
    }
}

UnitOwner::~UnitOwner()
{
    if (unit_.is_open()) {
        --OpenHere();
    }
}

UnitOwner::UnitOwner(int serial, std::error_code why, Log log)
    : serial_(serial), log_(std::move(log)), last_error_(why)
{
}

vontrel::Unit &UnitOwner::Open()
{
    if (unit_.is_open()) {
        return unit_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) {
        throw std::system_error(last_error_,
                                fmt::format("Vontrel_Open (unit {}): {}", serial_, WhyNotOpen()));
    }
    backoff_ = std::min<std::chrono::milliseconds>(
        backoff_.count() == 0 ? kReopenInterval : backoff_ * 2, kMaxReopenInterval);
    next_attempt_ = now + backoff_;
    const std::lock_guard<std::mutex> discovery(DiscoveryMutex());
    vontrel::Discovery found = vontrel::discover();
    for (vontrel::Unit &unit : found.units) {
        if (unit.serial() == serial_) {
            unit_ = std::move(unit);
            ++OpenHere();
            backoff_ = std::chrono::milliseconds(0);
            next_attempt_ = {};  // a unit lost again is looked for at once
            notes_.push_back(fmt::format("unit {}: open{} (index {})", serial_,
                                         std::exchange(was_open_, true) ? " again" : "",
                                         unit_.index()));
            return unit_;
        }
    }
    // Converters that matched but did not open, other than this process's
    // own, are in use by another program; the unit may be among them.
    const bool in_use = found.matched - static_cast<int>(found.units.size()) > OpenHere().load();
    last_error_ =
        make_status_code(in_use ? VONTREL_FT_DEVICE_NOT_OPENED : VONTREL_FT_DEVICE_NOT_FOUND);
    throw std::system_error(last_error_,
                            fmt::format("Vontrel_Open (unit {}): {}", serial_, WhyNotOpen()));
}

std::string UnitOwner::WhyNotOpen() const
{
    return last_error_.value() == VONTREL_FT_DEVICE_NOT_OPENED  ? "in use by another program"
           : last_error_.value() == VONTREL_FT_DEVICE_NOT_FOUND ? "not attached"
                                                                : "could not be opened";
}

void UnitOwner::Lost(const std::system_error &e)
{
    last_error_ = e.code();
    if (!unit_.is_open()) {
        return;
    }
    --OpenHere();
    try {
        unit_.close();
    } catch (const std::system_error &) {
        // The handle is released whether or not the converter agreed.
    }
    notes_.push_back(
        fmt::format("unit {}: {}; closed, opened again when next needed", serial_, e.what()));
}

}  // namespace vontrel::service
