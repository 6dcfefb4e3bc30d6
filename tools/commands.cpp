// The vontrel tool's subcommands.
#include "tools/commands.h"

#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "include/vontrel.hpp"
#include "tools/output.h"
#include "tools/settings_change.h"
#include "tools/unit_select.h"

namespace vontrel::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr auto kLockPoll = std::chrono::milliseconds(10);

// Polls lock detect until the unit locks or `timeout_s` has passed.
// Returns the milliseconds it took, or nullopt when it did not lock.
std::optional<long> WaitForLock(const Unit &unit, double timeout_s)
{
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(timeout_s);
    for (;;) {
        if (unit.locked()) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                .count();
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kLockPoll);
    }
}

}  // namespace

std::string HintFor(int status)
{
    switch (status) {
        case 1:
            return "the unit was closed or unplugged under the tool; run the command again";
        case 2:
        case 3:
            return "another program may have the converter open; close it, or unplug and replug "
                   "the unit";
        case 4:
            return "check the USB cable and the unit's power, then try again";
        case 17:
            return "this build of libvontrel lacks the call; update the library";
        default:
            return "";
    }
}

int List(const Globals &g)
{
    std::vector<Unit> units = OpenUnits();
    Json all = Json::array();
    if (!g.json) {
        fmt::print("{:<6} {:<7} {:<9} {}\n", "index", "serial", "firmware", "hardware");
    }
    for (const Unit &u : units) {
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

int Status(const Globals &g)
{
    const Unit unit = OpenSelected(g);
    const vontrel::Status s = unit.status();
    const bool locked = unit.locked();
    if (g.json) {
        Json j{{"unit", UnitJson(unit)}};
        j.update(SettingsJson(s));
        j["level_max"] = s.level_max;
        j["level_min"] = s.level_min;
        j["locked"] = locked;
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
    return kOk;
}

int Set(const Globals &g, const Change &change, LockWait wait)
{
    Unit unit = OpenSelected(g);
    const vontrel::Status before = unit.status();
    const Settings wanted = Merge(before, change);
    if (before.mode == Mode::kMode3 && change.attenuation && !change.mode && !g.json) {
        fmt::print(
            "note: the unit was in mode 3, where the level sets the attenuation; "
            "--atten moves it to mode 1\n");
    }
    ApplyChecked(unit, &before, wanted, before);
    std::optional<long> lock_ms;
    if (wait) {
        lock_ms = WaitForLock(unit, *wait);
    }
    if (g.json) {
        Json j{{"unit", UnitJson(unit)}, {"applied", SettingsJson(wanted)}};
        j["locked"] = wait ? Json(lock_ms.has_value()) : Json(nullptr);
        j["lock_ms"] = lock_ms ? Json(*lock_ms) : Json(nullptr);
        PrintJson(j);
    } else {
        fmt::print("{}: set {}\n", UnitName(unit), ChangeText(change));
        if (lock_ms) {
            fmt::print("locked after {} ms\n", *lock_ms);
        }
    }
    if (wait && !lock_ms) {
        throw DeviceError(fmt::format("{} did not lock within {} s", UnitName(unit), *wait),
                          "check the frequency and try a longer --wait-lock timeout");
    }
    return kOk;
}

int Lock(const Globals &g, LockWait wait)
{
    const Unit unit = OpenSelected(g);
    std::optional<long> lock_ms;
    if (wait) {
        lock_ms = WaitForLock(unit, *wait);
    } else if (unit.locked()) {
        lock_ms = 0;
    }
    if (g.json) {
        PrintJson(Json{{"unit", UnitJson(unit)},
                       {"locked", lock_ms.has_value()},
                       {"lock_ms", wait && lock_ms ? Json(*lock_ms) : Json(nullptr)}});
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

int Sweep(const Globals &g, const SweepOptions &o)
{
    Unit unit = OpenSelected(g);
    const vontrel::Status before = unit.status();
    Settings s = Merge(before, o.change);
    const bool terminal = !g.json && isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0;
    std::vector<Point> points;
    points.reserve(o.points.size());
    if (!g.json) {
        fmt::print("{}: sweeping {} points\n", UnitName(unit), o.points.size());
        fmt::print("{:>14}  {:<10} {}\n", "frequency MHz", "lock", "lock ms");
    }
    {
        ProgressBar bar(terminal);
        for (std::size_t i = 0; i < o.points.size(); ++i) {
            bar.Show(i, o.points.size(), o.points[i]);
            s.frequency_mhz = o.points[i];
            ApplyChecked(unit, i == 0 ? &before : nullptr, s, before);
            Point p;
            p.frequency_mhz = o.points[i];
            const auto lock_ms = WaitForLock(unit, o.lock_timeout_s);
            p.locked = lock_ms.has_value();
            p.lock_ms = lock_ms.value_or(-1);
            points.push_back(p);
            if (!g.json) {
                bar.Clear();
                fmt::print("{:>14}  {:<10} {}\n", p.frequency_mhz,
                           p.locked ? "locked" : "NOT LOCKED",
                           p.locked ? std::to_string(p.lock_ms) : "-");
                std::fflush(stdout);
            }
            if (o.dwell_ms > 0) {
                std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(o.dwell_ms));
            }
        }
    }
    if (!o.output.empty()) {
        WritePoints(o.output, o.format, points);
    }
    std::size_t unlocked = 0;
    for (const Point &p : points) {
        unlocked += p.locked ? 0 : 1;
    }
    if (g.json) {
        Json all = Json::array();
        for (const Point &p : points) {
            all.push_back(Json{{"frequency_mhz", p.frequency_mhz},
                               {"locked", p.locked},
                               {"lock_ms", p.lock_ms < 0 ? Json(nullptr) : Json(p.lock_ms)}});
        }
        PrintJson(Json{{"unit", UnitJson(unit)}, {"points", all}});
    } else {
        fmt::print("{} of {} points locked{}\n", points.size() - unlocked, points.size(),
                   o.output.empty() ? "" : fmt::format("; written to {}", o.output));
    }
    if (unlocked > 0) {
        throw DeviceError(fmt::format("{} points did not lock", unlocked),
                          "try a longer --lock-timeout");
    }
    return kOk;
}

}  // namespace vontrel::tool
