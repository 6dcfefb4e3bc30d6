// SPDX-License-Identifier: MIT
// The vontrel tool's subcommands.
#include "tools/vontrel/commands.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "include/vontrel.hpp"
#include "service/settings_change.h"
#include "tools/vontrel/output.h"
#include "tools/vontrel/timing.h"
#include "tools/vontrel/unit_select.h"

namespace vontrel::tool {
namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;

}  // namespace

std::optional<long> TimedWaitLock(const Unit &unit, double timeout_s, bool (*stopped)())
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(timeout_s));
    // In slices, so that a stop request is seen within one of them; each
    // slice polls lock detect at least once.
    constexpr double kSliceS = 0.1;
    for (;;) {
        const double left =
            std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
        if (unit.wait_lock(stopped != nullptr ? std::min(left, kSliceS) : left)) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                .count();
        }
        if (Clock::now() >= deadline || (stopped != nullptr && stopped())) {
            return std::nullopt;
        }
    }
}

int List(const Globals &g)
{
    const Found found = OpenUnits(g);
    Json all = Json::array();
    if (!g.json) {
        fmt::print("{:<6} {:<7} {:<9} {}\n", "index", "serial", "firmware", "hardware");
    }
    for (const Unit &u : found.units) {
        const vontrel::Info info = u.info();
        if (g.json) {
            all.push_back(Json{{"index", u.index()},
                               {"serial", u.serial()},
                               {"firmware", info.firmware},
                               {"hardware_revision", std::string(1, info.hardware_revision)}});
        } else {
            fmt::print("{:<6} {:<7} {:<9} {}\n", u.index(), u.serial(), info.firmware,
                       info.hardware_revision);
        }
    }
    if (found.not_opened > 0) {
        throw DeviceError(InUseText(found.not_opened) + " and not listed",
                          "close the other program, or wait with --wait-unit SECONDS",
                          Json{{"units", all}}, found.why);
    }
    if (g.json) {
        PrintJson(all);
    }
    return kOk;
}

int Info(const Globals &g)
{
    const Unit unit = OpenSelected(g);
    const vontrel::Info info = unit.info();
    if (g.json) {
        PrintJson(Json{{"index", unit.index()},
                       {"serial", info.serial},
                       {"firmware", info.firmware},
                       {"hardware_revision", std::string(1, info.hardware_revision)},
                       {"calibration_date", info.calibration_date},
                       {"if_band", info.if_band}});
        return kOk;
    }
    fmt::print("serial             {}\n", info.serial);
    fmt::print("index              {}\n", unit.index());
    fmt::print("firmware           {}\n", info.firmware);
    fmt::print("hardware revision  {}\n", info.hardware_revision);
    fmt::print("calibration date   {}\n", info.calibration_date);
    fmt::print("IF band            {}\n", info.if_band);
    return kOk;
}

int Status(const Globals &g, bool timing)
{
    CallTimes times;
    const Unit unit = times.Time("Vontrel_Open", -1, [&] { return OpenSelected(g); });
    const vontrel::Status s = times.Time("Vontrel_ReadStatus", VONTREL_EXCHANGES_READ_STATUS,
                                         [&] { return unit.status(); });
    const bool locked =
        times.Time("Vontrel_ReadLD", VONTREL_EXCHANGES_READ_LD, [&] { return unit.locked(); });
    if (g.json) {
        Json j{{"unit", UnitJson(unit)}};
        j.update(SettingsJson(s));
        j["level_max"] = s.level_max;
        j["level_min"] = s.level_min;
        j["locked"] = locked;
        if (timing) {
            j["timing"] = times.Json();
        }
        PrintJson(j);
        return kOk;
    }
    fmt::print("{}\n", UnitName(unit));
    fmt::print("  frequency       {} MHz\n", s.frequency_mhz);
    fmt::print("  level           {}  (range {} to {} at this frequency)\n", s.level, s.level_min,
               s.level_max);
    fmt::print("  attenuation     {}\n", s.attenuation);
    fmt::print("  mode            {}{}\n", static_cast<int>(s.mode),
               s.mode == Mode::kMode3 ? "  (level sets the attenuation)" : "");
    fmt::print("  switch          {}\n", SwitchText(s.output_switch));
    fmt::print("  flag A          {}\n", OnOff(s.flag_a));
    fmt::print("  flag B          {}\n", OnOff(s.flag_b));
    fmt::print("  flag C          {}\n", OnOff(s.flag_c));
    fmt::print("  trim A          {}\n", s.trim_a);
    fmt::print("  trim B          {}\n", s.trim_b);
    fmt::print("  auto trim       {}{}\n", OnOff(s.auto_trim),
               s.auto_trim ? "  (trims follow the calibration tables)" : "");
    fmt::print("  stored setting  {}\n", s.stored_setting);
    fmt::print("  lock            {}\n", locked ? "locked" : "not locked");
    if (timing) {
        times.Print();
    }
    return kOk;
}

int Set(const Globals &g, const Change &change, LockWait wait)
{
    Unit unit = OpenSelected(g);
    const vontrel::Status before = unit.status();
    if (!change.frequency_mhz) {
        // Every setting is written again, the frequency read back included.
        try {
            vontrel::check_frequency(before.frequency_mhz, "the frequency read back,");
        } catch (const std::invalid_argument &e) {
            throw UsageError(std::string(e.what()) + "; give --freq with the change");
        }
    }
    const Settings wanted = Merge(before, change);
    if (before.mode == Mode::kMode3 && change.attenuation && !change.mode && !g.json) {
        fmt::print(
            "note: the unit was in mode 3, where the level sets the attenuation; "
            "--atten moves it to mode 1\n");
    }
    (void)unit.apply(wanted, before);
    std::optional<long> lock_ms;
    if (wait) {
        lock_ms = TimedWaitLock(unit, *wait);
    }
    Json j{{"unit", UnitJson(unit)}, {"applied", SettingsJson(wanted)}};
    j["locked"] = wait ? Json(lock_ms.has_value()) : Json(nullptr);
    j["lock_ms"] = lock_ms ? Json(*lock_ms) : Json(nullptr);
    if (!g.json) {
        fmt::print("{}: set {}\n", UnitName(unit), ChangeText(change));
        if (lock_ms) {
            fmt::print("locked after {} ms\n", *lock_ms);
        }
    }
    if (wait && !lock_ms) {
        throw DeviceError(fmt::format("{} did not lock within {} s", UnitName(unit), *wait),
                          "check the frequency and try a longer --wait-lock timeout", j);
    }
    if (g.json) {
        PrintJson(j);
    }
    return kOk;
}

int Lock(const Globals &g, LockWait wait)
{
    const Unit unit = OpenSelected(g);
    std::optional<long> lock_ms;
    if (wait) {
        lock_ms = TimedWaitLock(unit, *wait);
    } else if (unit.locked()) {
        lock_ms = 0;
    }
    if (g.json) {
        Json j{{"unit", UnitJson(unit)},
               {"locked", lock_ms.has_value()},
               {"lock_ms", wait && lock_ms ? Json(*lock_ms) : Json(nullptr)}};
        if (!lock_ms) {
            j["error"] = UnitName(unit) + " is not locked";
        }
        PrintJson(j);
    } else if (lock_ms) {
        fmt::print("{}: locked{}\n", UnitName(unit),
                   wait ? fmt::format(" after {} ms", *lock_ms) : "");
    } else {
        fmt::print("{}: not locked{}\n", UnitName(unit),
                   wait ? fmt::format(" after {} s", *wait) : "");
    }
    return lock_ms ? kOk : kFailure;
}

int Preset(const Globals &g)
{
    Unit unit = OpenSelected(g);
    unit.preset();
    if (g.json) {
        PrintJson(Json{{"unit", UnitJson(unit)}, {"preset", true}});
    } else {
        fmt::print("{}: preset sent (user preset, or power-up settings when none was saved)\n",
                   UnitName(unit));
    }
    return kOk;
}

int SavePreset(const Globals &g)
{
    Unit unit = OpenSelected(g);
    unit.save_user_preset();
    if (g.json) {
        PrintJson(Json{{"unit", UnitJson(unit)}, {"saved", true}});
    } else {
        fmt::print("{}: current settings saved as the user preset\n", UnitName(unit));
    }
    return kOk;
}

}  // namespace vontrel::tool
