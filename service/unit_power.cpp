// SPDX-License-Identifier: MIT
// Switching served units off and on at their mains outlets.
#include "service/unit_power.h"

#include <fmt/format.h>

#include <algorithm>

#include "service/errors.h"

namespace vontrel::service {
namespace {

using Clock = std::chrono::steady_clock;

// How often a unit being powered up is asked whether it answers (each ask
// may itself take the link's time-out).
constexpr auto kBootPoll = std::chrono::milliseconds(100);

std::string Where(const PowerOutlet &o, const std::string &serial)
{
    return fmt::format("outlet {} of mains switch {}", o.outlet, serial);
}

}  // namespace

PowerControl::PowerControl(MainsPower &mains, UnitsFile units, Log log)
    : mains_(mains), units_(std::move(units)), log_(std::move(log))
{
}

PowerControl::~PowerControl()
{
    {
        const std::lock_guard<std::mutex> lock(revive_mutex_);
        stopping_ = true;
    }
    revive_wake_.notify_all();
    if (reviver_.joinable()) {
        reviver_.join();
    }
}

void PowerControl::Add(UnitOwner &owner)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    served_.emplace(owner.serial(), Served{&owner, {}, {}, 0, {}, false});
}

std::optional<PowerOutlet> PowerControl::OutletOf(int serial) const
{
    return units_.For(serial).power;
}

bool PowerControl::SwitchesOutput(int serial) const
{
    return EffectiveOutputOff(units_.For(serial)) == OutputOff::kMains;
}

PowerOutlet PowerControl::Mapped(int serial) const
{
    const auto outlet = OutletOf(serial);
    if (!outlet) {
        throw Refusal(Reason::kValueRefused,
                      fmt::format("unit {} has no mains outlet in the units file{}", serial,
                                  units_.path.empty() ? " (none was read)" : " " + units_.path));
    }
    return *outlet;
}

PowerControl::Served &PowerControl::Of(int serial)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return served_.at(serial);
}

bool PowerControl::IsOn(int serial)
{
    return mains_.IsOn(Mapped(serial));
}

void PowerControl::Off(UnitOwner::Access &access, std::optional<Settings> keep)
{
    const int serial = access.serial();
    const PowerOutlet outlet = Mapped(serial);
    const std::string where = Where(outlet, mains_.Resolve(outlet.switch_serial));
    Served &served = Of(serial);
    const bool was_off = access.powered_off();
    if (keep) {
        served.kept = std::move(keep);
    } else if (!was_off) {
        try {
            served.kept = access.Call([](vontrel::Unit &u) { return Settings(u.status()); });
        } catch (const std::system_error &e) {
            served.kept.reset();
            log_(
                fmt::format("unit {}: its settings could not be read before it is switched off "
                            "({}); it will come back at its power-up settings",
                            serial, e.what()));
        }
    }
    if (!access.powered_off()) {
        access.PowerOff(
            fmt::format("unit {} is switched off at {}; OUTPut ON (or the outlet) powers it up",
                        serial, where));
    }
    try {
        mains_.Set(outlet, false);
    } catch (...) {
        if (!was_off) {
            access.PowerOn();  // still powered: it answers as before
        }
        throw;
    }
    log_(fmt::format("unit {}: switched off at {}", serial, where));
}

void PowerControl::On(UnitOwner::Access &access)
{
    const int serial = access.serial();
    const PowerOutlet outlet = Mapped(serial);
    const std::string where = Where(outlet, mains_.Resolve(outlet.switch_serial));
    mains_.Set(outlet, true);
    access.PowerOn();
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(outlet.boot_s));
    for (;;) {
        try {
            access.LookNow();
            access.Call([](vontrel::Unit &u) { return u.locked(); });
            break;
        } catch (const std::system_error &e) {
            if (Clock::now() >= deadline) {
                throw Refusal(Reason::kUnitFailed,
                              fmt::format("unit {} did not answer within {} s of power-up at {} "
                                          "({}); the outlet stays on",
                                          serial, outlet.boot_s, where, e.what()));
            }
        }
        std::this_thread::sleep_for(kBootPoll);
    }
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    Served &served = Of(serial);
    if (served.kept) {
        const Settings kept = *served.kept;
        access.Call([&](vontrel::Unit &u) { u.apply(kept); });
        served.kept.reset();
        log_(
            fmt::format("unit {}: powered up at {}, answered after {:.1f} s; its settings are "
                        "back",
                        serial, where, took));
    } else {
        log_(
            fmt::format("unit {}: powered up at {}, answered after {:.1f} s, at its power-up "
                        "settings",
                        serial, where, took));
    }
    access.MarkChanged();
}

void PowerControl::Cycle(UnitOwner::Access &access, std::chrono::milliseconds off_time)
{
    Off(access);
    std::this_thread::sleep_for(off_time);
    On(access);
}

bool PowerControl::SameOutlet(const PowerOutlet &a, const PowerOutlet &b)
{
    return a.outlet == b.outlet &&
           mains_.Resolve(a.switch_serial) == mains_.Resolve(b.switch_serial);
}

std::vector<UnitOwner *> PowerControl::Powered(const PowerOutlet &outlet)
{
    std::vector<UnitOwner *> owners;
    std::vector<std::pair<int, UnitOwner *>> all;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[serial, served] : served_) {
            all.emplace_back(serial, served.owner);
        }
    }
    for (const auto &[serial, owner] : all) {
        if (const auto mapped = OutletOf(serial); mapped && SameOutlet(*mapped, outlet)) {
            owners.push_back(owner);
        }
    }
    return owners;
}

void PowerControl::SetOutlet(const PowerOutlet &outlet, bool on, ConnectionId session)
{
    const std::vector<UnitOwner *> owners = Powered(outlet);
    for (UnitOwner *owner : owners) {
        if (!owner->session_lock().MayChange(session)) {
            throw Refusal(
                Reason::kConflict,
                fmt::format("outlet {} powers unit {}, which is locked by {}", outlet.outlet,
                            owner->serial(), owner->session_lock().Holder()));
        }
        const UnitOwner::Access access(*owner);
        if (access.sweeper() != kNoSweep) {
            throw Refusal(Reason::kConflict,
                          fmt::format("outlet {} powers unit {}, on which a list sweep runs",
                                      outlet.outlet, owner->serial()));
        }
    }
    if (owners.empty()) {
        mains_.Set(outlet, on);
        return;
    }
    for (UnitOwner *owner : owners) {
        UnitOwner::Access access(*owner);
        if (on) {
            On(access);
        } else {
            Off(access);
        }
    }
}

void PowerControl::StartRevival(int per_hour, std::chrono::milliseconds look,
                                std::chrono::milliseconds off_time)
{
    if (per_hour <= 0 || reviver_.joinable()) {
        return;
    }
    per_hour_ = per_hour;
    look_ = look;
    revive_off_ = off_time;
    reviver_ = std::thread([this] { Revive(); });
}

void PowerControl::Revive()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(revive_mutex_);
            if (revive_wake_.wait_for(lock, look_, [&] { return stopping_; })) {
                return;
            }
        }
        std::vector<int> mapped;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (const auto &[serial, served] : served_) {
                if (OutletOf(serial)) {
                    mapped.push_back(serial);
                }
            }
        }
        for (const int serial : mapped) {
            Served &served = Of(serial);
            UnitOwner::Access access(*served.owner);
            if (access.powered_off() || access.sweeper() != kNoSweep) {
                continue;  // switched off on purpose, or busy sweeping
            }
            try {
                access.LookNow();
                served.last = access.Call([](vontrel::Unit &u) { return Settings(u.status()); });
                served.failures = 0;
                served.limit_logged = false;
                continue;
            } catch (const std::exception &) {
                if (++served.failures < kReviveAfterFailures) {
                    continue;
                }
            }
            // Only a unit that answered here before, at an outlet that is
            // on: one switched off by hand, or never seen, is left alone.
            try {
                if (!served.last || !mains_.IsOn(Mapped(serial))) {
                    continue;
                }
            } catch (const std::exception &) {
                continue;  // the switch cannot say: nothing is switched
            }
            const auto now = Clock::now();
            std::erase_if(served.cycles,
                          [&](Clock::time_point t) { return now - t > std::chrono::hours(1); });
            if (static_cast<int>(served.cycles.size()) >= per_hour_) {
                if (!std::exchange(served.limit_logged, true)) {
                    log_(
                        fmt::format("unit {}: has stopped answering; not power-cycled: {} "
                                    "cycles in the last hour already",
                                    serial, per_hour_));
                }
                continue;
            }
            served.cycles.push_back(now);
            served.failures = 0;
            log_(
                fmt::format("unit {}: has stopped answering; power-cycling it ({} of at most {} "
                            "this hour)",
                            serial, served.cycles.size(), per_hour_));
            try {
                // It comes back with what it held when it last answered.
                Off(access, served.last);
                std::this_thread::sleep_for(revive_off_);
                On(access);
            } catch (const std::exception &e) {
                log_(fmt::format("unit {}: the power cycle failed: {}", serial, e.what()));
            }
        }
    }
}

}  // namespace vontrel::service
