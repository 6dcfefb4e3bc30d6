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

namespace vontrel::tool {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr auto kLockPoll = std::chrono::milliseconds(10);

void PrintJson(const Json &j)
{
    fmt::print("{}\n", j.dump(2));
}

std::string UnitName(const Unit &u)
{
    return fmt::format("unit {} (index {})", u.serial(), u.index());
}

Json UnitJson(const Unit &u)
{
    return Json{{"serial", u.serial()}, {"index", u.index()}};
}

std::vector<Unit> OpenUnits()
{
    Discovery found = discover();
    if (found.units.empty()) {
        if (found.matched > 0) {
            throw std::system_error(found.status, "Vontrel_Open");
        }
        throw DeviceError("no unit found",
                          "check that a unit is plugged in and powered; with the simulator, "
                          "see VONTREL_SIM_CONFIG and 'vontrel-sim reset'");
    }
    if (static_cast<std::size_t>(found.matched) > found.units.size()) {
        fmt::print(stderr, "vontrel: warning: {} of {} units did not open ({})\n",
                   static_cast<std::size_t>(found.matched) - found.units.size(), found.matched,
                   found.status ? found.status.message() : "no status");
    }
    return std::move(found.units);
}

std::string Candidates(const std::vector<Unit> &units)
{
    std::string out;
    for (const Unit &u : units) {
        out += fmt::format("\n  --unit serial:{}   (index:{})", u.serial(), u.index());
    }
    return out;
}

// Opens the units and keeps the one chosen by --unit (the only one when
// there is just one); the others close when this returns.
Unit OpenSelected(const Globals &g)
{
    std::vector<Unit> units = OpenUnits();
    if (!g.unit) {
        if (units.size() == 1) {
            return std::move(units[0]);
        }
        throw DeviceError(fmt::format("{} units found; choose one with --unit:{}", units.size(),
                                      Candidates(units)),
                          "");
    }
    for (Unit &u : units) {
        const int key = g.unit->by == UnitSelector::By::kSerial ? u.serial() : u.index();
        if (key == g.unit->value) {
            return std::move(u);
        }
    }
    throw DeviceError(fmt::format("no unit with {} {}; the units found are:{}",
                                  g.unit->by == UnitSelector::By::kSerial ? "serial" : "index",
                                  g.unit->value, Candidates(units)),
                      "");
}

const char *OnOff(bool on)
{
    return on ? "on" : "off";
}

Json SwitchJson(Switch s)
{
    return s == Switch::kUnknown ? Json(nullptr) : Json(static_cast<int>(s));
}

std::string SwitchText(Switch s)
{
    return s == Switch::kUnknown ? std::string("unknown pattern")
                                 : fmt::format("{}", static_cast<int>(s));
}

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

// Puts the requested changes onto the settings read back. --level runs the
// unit in mode 3, where the level sets the attenuation; --atten takes a unit
// out of mode 3 into mode 1. An explicit --mode was checked against both on
// the command line.
Settings Merge(Settings s, const Change &c)
{
    if (c.frequency_mhz) {
        s.frequency_mhz = *c.frequency_mhz;
    }
    if (c.level) {
        s.level = *c.level;
        s.mode = Mode::kMode3;
    }
    if (c.attenuation) {
        s.attenuation = *c.attenuation;
        // Mode 3 ignores the attenuation; mode 1 is mode 3 without the level
        // control (mode code 110 against 111).
        if (s.mode == Mode::kMode3) {
            s.mode = Mode::kMode1;
        }
    }
    if (c.mode) {
        s.mode = static_cast<Mode>(*c.mode);
    }
    if (c.output_switch) {
        s.output_switch = static_cast<Switch>(*c.output_switch);
    }
    if (c.flag_a) {
        s.flag_a = *c.flag_a;
    }
    if (c.flag_b) {
        s.flag_b = *c.flag_b;
    }
    if (c.flag_c) {
        s.flag_c = *c.flag_c;
    }
    if (c.trim_a) {
        s.trim_a = static_cast<std::uint8_t>(*c.trim_a);
        s.auto_trim = false;
    }
    if (c.trim_b) {
        s.trim_b = static_cast<std::uint8_t>(*c.trim_b);
        s.auto_trim = false;
    }
    if (c.auto_trim) {
        s.auto_trim = *c.auto_trim;
    }
    if (c.stored_setting) {
        s.stored_setting = static_cast<std::uint8_t>(*c.stored_setting);
    }
    return s;
}

std::string LevelRangeMessage(double level, const vontrel::Status &at, double mhz)
{
    return fmt::format("level {} is outside the unit's calibrated range at {} MHz: {} to {}", level,
                       mhz, at.level_min, at.level_max);
}

// In mode 3 the unit turns the level into an attenuation code through its
// calibration table at the frequency, and only levels within the read-back
// range make a valid code. `current` is the unit's status when it is already
// at the wanted frequency: the level is then checked before anything is
// written. Otherwise the range is known only once the frequency is
// programmed, so the level is verified after the write and `restore` is put
// back when it does not fit.
void ApplyChecked(Unit &unit, const vontrel::Status *current, const Settings &wanted,
                  const Settings &restore)
{
    const bool level_mode = wanted.mode == Mode::kMode3;
    const bool known = current != nullptr && current->frequency_mhz == wanted.frequency_mhz;
    if (level_mode && known &&
        (wanted.level < current->level_min || wanted.level > current->level_max)) {
        throw UsageError(LevelRangeMessage(wanted.level, *current, wanted.frequency_mhz));
    }
    unit.apply(wanted);
    if (!level_mode || known) {
        return;
    }
    const vontrel::Status after = unit.status();
    if (wanted.level < after.level_min || wanted.level > after.level_max) {
        unit.apply(restore);
        throw DeviceError(
            LevelRangeMessage(wanted.level, after, wanted.frequency_mhz) +
                "; the previous settings were restored",
            fmt::format("choose a level from {} to {}", after.level_min, after.level_max));
    }
}

std::string ChangeText(const Change &c)
{
    std::vector<std::string> parts;
    // "name value[ unit]" for every setting the command line gave.
    const auto add = [&](const char *name, const auto &value, const char *unit = "") {
        if (value) {
            parts.push_back(fmt::format("{} {}{}", name, *value, unit));
        }
    };
    const auto add_flag = [&](const char *name, const std::optional<bool> &value) {
        if (value) {
            parts.push_back(fmt::format("{} {}", name, OnOff(*value)));
        }
    };
    add("frequency", c.frequency_mhz, " MHz");
    add("level", c.level);
    add("attenuation", c.attenuation);
    add("mode", c.mode);
    add("switch", c.output_switch);
    add_flag("flag A", c.flag_a);
    add_flag("flag B", c.flag_b);
    add_flag("flag C", c.flag_c);
    add_flag("auto trim", c.auto_trim);
    add("trim A", c.trim_a);
    add("trim B", c.trim_b);
    add("stored setting", c.stored_setting);
    return parts.empty() ? std::string("the settings read back")
                         : fmt::format("{}", fmt::join(parts, ", "));
}

Json SettingsJson(const Settings &s)
{
    return Json{{"frequency_mhz", s.frequency_mhz},
                {"level", s.level},
                {"attenuation", s.attenuation},
                {"mode", static_cast<int>(s.mode)},
                {"switch", SwitchJson(s.output_switch)},
                {"flag_a", s.flag_a},
                {"flag_b", s.flag_b},
                {"flag_c", s.flag_c},
                {"trim_a", s.trim_a},
                {"trim_b", s.trim_b},
                {"auto_trim", s.auto_trim},
                {"stored_setting", s.stored_setting}};
}

class ProgressBar {
public:
    explicit ProgressBar(bool shown) : shown_(shown) {}
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    ~ProgressBar() { Clear(); }

    void Show(std::size_t done, std::size_t total, double mhz)
    {
        if (!shown_) {
            return;
        }
        constexpr std::size_t kWidth = 30;
        const std::size_t filled = total == 0 ? kWidth : done * kWidth / total;
        fmt::print(stderr, "\r[{:#<{}}{:.<{}}] {}/{}  {} MHz\033[K", "", filled, "",
                   kWidth - filled, done, total, mhz);
        std::fflush(stderr);
    }
    void Clear()
    {
        if (shown_) {
            fmt::print(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    }

private:
    bool shown_;
};

struct Point {
    double frequency_mhz = 0.0;
    bool locked = false;
    long lock_ms = -1;
};

void WritePoints(const std::string &path, const std::string &format,
                 const std::vector<Point> &points)
{
    std::ofstream out(path);
    if (!out) {
        throw DeviceError(fmt::format("cannot write {}", path), "check the folder exists");
    }
    if (format == "json") {
        Json all = Json::array();
        for (const Point &p : points) {
            all.push_back(Json{{"frequency_mhz", p.frequency_mhz},
                               {"locked", p.locked},
                               {"lock_ms", p.lock_ms < 0 ? Json(nullptr) : Json(p.lock_ms)}});
        }
        out << all.dump(2) << '\n';
    } else {
        out << "frequency_mhz,locked,lock_ms\n";
        for (const Point &p : points) {
            out << fmt::format("{},{},{}\n", p.frequency_mhz, p.locked ? 1 : 0,
                               p.lock_ms < 0 ? std::string() : std::to_string(p.lock_ms));
        }
    }
    if (!out.flush()) {
        throw DeviceError(fmt::format("writing {} failed", path), "check the free space");
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
