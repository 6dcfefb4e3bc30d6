// SPDX-License-Identifier: MIT
// The owner of a served unit: its lock, and opening it again after a failure.
#include "service/unit_owner.h"

#include <algorithm>

#include "service/unit_causes.h"

#include <fmt/format.h>

#include <atomic>

#include "include/vontrel_status.h"

namespace vontrel::service {
namespace {

// Opening units walks every converter and opens each unit that is free, so
// two owners must not do it at once.
std::mutex &DiscoveryMutex()
{
    static std::mutex mutex;
    return mutex;
}

// The enumeration indices of the units this process holds open through its
// owners: a walk finds them matched but not opened, like units another
// program holds, so they are named as this program's, not probed.
std::mutex &OpenHereMutex()
{
    static std::mutex mutex;
    return mutex;
}
std::vector<int> &OpenHereIndices()
{
    static std::vector<int> indices;
    return indices;
}
void NoteOpen(int index)
{
    const std::lock_guard<std::mutex> lock(OpenHereMutex());
    OpenHereIndices().push_back(index);
}
void NoteClosed(int index)
{
    const std::lock_guard<std::mutex> lock(OpenHereMutex());
    auto &v = OpenHereIndices();
    if (const auto it = std::find(v.begin(), v.end(), index); it != v.end()) {
        v.erase(it);
    }
}
std::vector<int> OpenHere()
{
    const std::lock_guard<std::mutex> lock(OpenHereMutex());
    return OpenHereIndices();
}

}  // namespace

UnitOwner::Access::~Access()
{
    std::vector<std::string> notes = std::move(owner_.notes_);
    owner_.notes_.clear();
    const bool changed = changed_ || std::exchange(owner_.came_or_went_, false);
    lock_.unlock();
    if (changed) {
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

UnitOwner::UnitOwner(vontrel::Unit unit, Log log, UnitConfig config, MainsPower *mains)
    : serial_(unit.serial()),
      log_(std::move(log)),
      config_(std::move(config)),
      mains_(mains),
      unit_(std::move(unit)),
      was_open_(true)
{
    if (unit_.is_open()) {
        NoteOpen(unit_.index());
    }
}

UnitOwner::~UnitOwner()
{
    if (unit_.is_open()) {
        NoteClosed(unit_.index());
    }
}

UnitOwner::UnitOwner(int serial, std::error_code code, std::string why, Log log, UnitConfig config,
                     MainsPower *mains)
    : serial_(serial),
      log_(std::move(log)),
      config_(std::move(config)),
      mains_(mains),
      last_error_(code),
      why_(std::move(why))
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
    backoff_ = NextReopenInterval(backoff_);
    next_attempt_ = now + backoff_;
    const std::lock_guard<std::mutex> discovery(DiscoveryMutex());
    Walk found = WalkUnits(OpenHere());
    for (vontrel::Unit &unit : found.units) {
        if (unit.serial() == serial_) {
            unit_ = std::move(unit);
            NoteOpen(unit_.index());
            backoff_ = std::chrono::milliseconds(0);
            next_attempt_ = {};  // a unit lost again is looked for at once
            came_or_went_ = true;
            notes_.push_back(fmt::format("unit {}: open{} (index {})", serial_,
                                         std::exchange(was_open_, true) ? " again" : "",
                                         unit_.index()));
            return unit_;
        }
    }
    // The unit is behind one of the converters that did not open, if any;
    // their own causes say why (this process's own units aside).
    std::vector<Unopened> candidates;
    for (const Unopened &u : found.unopened) {
        if (u.holder != "this program") {
            candidates.push_back(u);
        }
    }
    const auto [code, why] = NotOpenCause(candidates);
    last_error_ = make_status_code(code);
    {
        const std::lock_guard<std::mutex> lock(why_mutex_);
        why_ = why;
    }
    throw std::system_error(last_error_,
                            fmt::format("Vontrel_Open (unit {}): {}", serial_, WhyNotOpen()));
}

std::pair<unsigned long, std::string> NotOpenCause(const std::vector<Unopened> &candidates)
{
    if (candidates.empty()) {
        return {VONTREL_FT_DEVICE_NOT_FOUND, "not attached"};
    }
    const auto code = [](Cause c) -> unsigned long {
        return c == Cause::kHeld           ? VONTREL_FT_DEVICE_NOT_OPENED
               : c == Cause::kNotAnswering ? VONTREL_FT_IO_ERROR
                                           : VONTREL_FT_DEVICE_NOT_FOUND;
    };
    if (candidates.size() == 1) {
        return {code(candidates[0].cause), candidates[0].Why()};
    }
    std::string why = "not among the units that opened; the converters that did not:";
    for (const Unopened &u : candidates) {
        why += " " + u.Text() + ";";
    }
    why.pop_back();
    return {code(candidates[0].cause), why};
}

std::string UnitOwner::WhyNotOpen() const
{
    const std::lock_guard<std::mutex> lock(why_mutex_);
    if (!off_why_.empty()) {
        return "switched off at its mains outlet";
    }
    return why_.empty() ? "could not be opened" : why_;
}

void UnitOwner::Lost(const std::system_error &e)
{
    last_error_ = e.code();
    {
        const std::lock_guard<std::mutex> lock(why_mutex_);
        why_ = e.code().value() == VONTREL_FT_IO_ERROR ? "not answering" : e.what();
    }
    if (!unit_.is_open()) {
        return;
    }
    NoteClosed(unit_.index());
    came_or_went_ = true;
    try {
        unit_.close();
    } catch (const std::system_error &) {
        // The handle is released whether or not the converter agreed.
    }
    notes_.push_back(
        fmt::format("unit {}: {}; closed, opened again when next needed", serial_, e.what()));
}

}  // namespace vontrel::service
