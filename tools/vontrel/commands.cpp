// SPDX-License-Identifier: MIT
// The vontrel tool's subcommands.
#include "tools/vontrel/commands.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "include/vontrel.hpp"
#include "service/level_units.h"
#include "service/output_state.h"
#include "service/settings_change.h"
#include "service/sweep_point.h"
#include "tools/vontrel/doctor.h"
#include "tools/vontrel/output.h"
#include "tools/vontrel/timing.h"
#include "tools/vontrel/unit_select.h"

namespace vontrel::tool {
namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;

}  // namespace

const service::UnitsFile &Globals::Units() const
{
    if (!units_) {
        units_ = service::LoadConfiguredUnitsFile(units_path);
    }
    return *units_;
}

std::optional<long> TimedWaitLock(const Unit &unit, double timeout_s)
{
    const std::optional<double> ms = service::WaitForLock(unit, timeout_s);
    return ms ? std::optional<long>(static_cast<long>(*ms)) : std::nullopt;
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
    // Each converter that looked like a unit and could not be used, with its
    // own cause; the units that opened are listed all the same.
    Json unusable = Json::array();
    for (const service::Unopened &u : found.unopened) {
        unusable.push_back(Json{{"index", u.index},
                                {"description", u.description},
                                {"cause", service::CauseName(u.cause)},
                                {"why", u.Why()},
                                {"holder", u.holder}});
        if (!g.json) {
            fmt::print("{:<6} {}\n", u.index, u.Why());
        }
    }
    if (!found.unopened.empty()) {
        throw DeviceError(fmt::format("{} of the converters that look like units could not be "
                                      "used:{}",
                                      found.unopened.size(), UnopenedLines(found.unopened)),
                          "the units listed work; see each converter's cause",
                          Json{{"units", all}, {"unusable", unusable}}, D2xxWalkMessage());
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
    const service::UnitsFile &units = g.Units();  // checked before a unit is opened
    CallTimes times;
    const Unit unit = times.Time("Vontrel_Open", -1, [&] { return OpenSelected(g); });
    const vontrel::Status s = times.Time("Vontrel_ReadStatus", VONTREL_EXCHANGES_READ_STATUS,
                                         [&] { return unit.status(); });
    const bool locked =
        times.Time("Vontrel_ReadLD", VONTREL_EXCHANGES_READ_LD, [&] { return unit.locked(); });
    const service::UnitConfig &config = units.For(unit.serial());
    const service::LevelScale scale = service::LevelScale::Of(config);
    if (g.json) {
        Json j{{"unit", UnitJson(unit)}};
        j.update(SettingsJson(s));
        j["level_max"] = s.level_max;
        j["level_min"] = s.level_min;
        // With the unit's level calibration from the units file: in dBm.
        const auto dbm = [&](double level) {
            return scale.dbm() ? Json(scale.Shown(level)) : Json(nullptr);
        };
        j["level_offset_db"] = scale.dbm() ? Json(*scale.offset_db()) : Json(nullptr);
        j["level_dbm"] = dbm(s.level);
        j["level_max_dbm"] = dbm(s.level_max);
        j["level_min_dbm"] = dbm(s.level_min);
        j["output_off"] = service::OutputOffName(service::EffectiveOutputOff(config));
        j["locked"] = locked;
        if (timing) {
            j["timing"] = times.Json();
        }
        PrintJson(j);
        return kOk;
    }
    fmt::print("{}\n", UnitName(unit));
    fmt::print("  frequency       {} MHz\n", s.frequency_mhz);
    if (scale.dbm()) {
        fmt::print("  level           {}  (level {}; range {} at this frequency; offset {} dB)\n",
                   scale.Text(s.level), s.level, scale.RangeText(s.level_min, s.level_max),
                   *scale.offset_db());
    } else {
        fmt::print(
            "  level           {}  (range {} to {} at this frequency; level units, no "
            "level calibration)\n",
            s.level, s.level_min, s.level_max);
    }
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
        // A frequency the unit reports outside its own range is the unit's
        // fault (or its link's), not the command line's: exit 1, and
        // nothing written.
        try {
            vontrel::check_frequency(before.frequency_mhz, "the frequency read back,");
        } catch (const std::invalid_argument &e) {
            throw DeviceError(std::string(e.what()) + "; nothing was written",
                              "give --freq with the change to set the frequency as well");
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
