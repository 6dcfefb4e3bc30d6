// The owner of a served unit: its lock, and opening it again after a failure.
#include "tools/serve/unit_owner.h"

#include <fmt/format.h>

namespace vontrel::serve {
namespace {

// How often a lost unit is looked for, at most: a client that keeps
// sending commands to an unplugged unit does not make the server walk the
// converters for every one of them.
constexpr auto kReopenInterval = std::chrono::milliseconds(200);

constexpr unsigned long kDeviceNotFound = 2;  // FT_DEVICE_NOT_FOUND

// Opening units walks every converter and opens each unit that is free, so
// two owners must not do it at once.
std::mutex &DiscoveryMutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void FairMutex::lock()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t ticket = next_++;
    turn_.wait(lock, [&] { return serving_ == ticket; });
}

void FairMutex::unlock()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++serving_;
    }
    turn_.notify_all();
}

UnitOwner::UnitOwner(vontrel::Unit unit, Log log)
    : serial_(unit.serial()), log_(std::move(log)), unit_(std::move(unit))
{
}

vontrel::Unit &UnitOwner::Open()
{
    if (unit_.is_open()) {
        return unit_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) {
        throw std::system_error(last_error_, fmt::format("Vontrel_Open (unit {})", serial_));
    }
    next_attempt_ = now + kReopenInterval;
    const std::lock_guard<std::mutex> discovery(DiscoveryMutex());
    vontrel::Discovery found = vontrel::discover();
    for (vontrel::Unit &unit : found.units) {
        if (unit.serial() == serial_) {
            unit_ = std::move(unit);
            log_(fmt::format("unit {}: open again (index {})", serial_, unit_.index()));
            return unit_;
        }
    }
    last_error_ = make_status_code(kDeviceNotFound);
    throw std::system_error(last_error_, fmt::format("Vontrel_Open (unit {})", serial_));
}

void UnitOwner::Lost(const std::system_error &e)
{
    last_error_ = e.code();
    if (!unit_.is_open()) {
        return;
    }
    try {
        unit_.close();
    } catch (const std::system_error &) {
        // The handle is released whether or not the converter agreed.
    }
    log_(fmt::format("unit {}: {}; closed, opened again when next needed", serial_, e.what()));
}

}  // namespace vontrel::serve
