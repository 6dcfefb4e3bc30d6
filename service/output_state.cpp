// SPDX-License-Identifier: MIT
// The output of a served unit: refused, muted or switched at the mains.
#include "service/output_state.h"

#include <fmt/format.h>

#include <cmath>

#include "service/errors.h"
#include "service/level_policy.h"
#include "service/level_units.h"
#include "service/unit_power.h"

namespace vontrel::service {
namespace {

bool HoldsMute(const vontrel::Status &s)
{
    return s.mode != vontrel::Mode::kMode3 && s.attenuation == kMuteAttenuation;
}

// The settings the unit holds when muted from `on`.
vontrel::Settings MutedFrom(vontrel::Settings on)
{
    if (on.mode == vontrel::Mode::kMode3) {
        on.mode = vontrel::Mode::kMode1;  // mode 3 would set the attenuation from the level
    }
    on.attenuation = kMuteAttenuation;
    return on;
}

// Reads the unit back; a mute the unit no longer holds (something else
// programmed it) is forgotten.
vontrel::Status ReadBack(UnitOwner::Access &access, vontrel::Unit &unit)
{
    const vontrel::Status s = unit.status();
    if (access.muted_from() && !HoldsMute(s)) {
        access.muted_from().reset();
    }
    return s;
}

// `held`, read back from a muted unit, with the mode, level and
// attenuation of `on`. The level at attenuation 0 is level + attenuation,
// whatever the mode, so the one not kept follows from the other.
vontrel::Status WithOutputOn(vontrel::Status held, const vontrel::Settings &on)
{
    const double reference = held.level + held.attenuation;
    held.mode = on.mode;
    if (on.mode == vontrel::Mode::kMode3) {
        held.level = on.level;
        held.attenuation = reference - on.level;
    } else {
        held.attenuation = on.attenuation;
        held.level = reference - on.attenuation;
    }
    return held;
}

vontrel::Status View(UnitOwner::Access &access, vontrel::Unit &unit)
{
    const vontrel::Status s = ReadBack(access, unit);
    return access.muted_from() ? WithOutputOn(s, *access.muted_from()) : s;
}

std::string OutletText(const PowerOutlet &outlet)
{
    return outlet.switch_serial.empty()
               ? fmt::format("outlet {}", outlet.outlet)
               : fmt::format("outlet {} of switch {}", outlet.outlet, outlet.switch_serial);
}

}  // namespace

std::string OutputOffText(const UnitConfig &config)
{
    switch (EffectiveOutputOff(config)) {
        case OutputOff::kMute:
            return fmt::format("output off mutes - attenuation {} level units - not an RF switch",
                               kMuteAttenuation);
        case OutputOff::kMains:
            return config.power ? "output off switches " + OutletText(*config.power) + " off"
                                : "output off switches the mains outlet off";
        case OutputOff::kRefuse:
            break;
    }
    return "output off refused - no RF switch";
}

vontrel::Status ReadSettings(UnitOwner::Access &access)
{
    return access.Call([&](vontrel::Unit &unit) { return View(access, unit); });
}

vontrel::Status ReadHeld(UnitOwner::Access &access, vontrel::Unit &unit)
{
    return ReadBack(access, unit);
}

vontrel::Status ApplyEdit(UnitOwner::Access &access, vontrel::Unit &unit,
                          const vontrel::Status &held, const SettingsEdit &edit, const LevelScale &scale)
{
    if (!access.muted_from()) {
        vontrel::Settings wanted = held;
        edit(wanted, held);
        return ApplyWithLevelPolicy(unit, held, wanted, scale);
    }
    const vontrel::Status before = WithOutputOn(held, *access.muted_from());
    vontrel::Settings wanted = before;
    edit(wanted, before);
    const bool level = wanted.mode == vontrel::Mode::kMode3;
    const bool known = wanted.frequency_mhz == held.frequency_mhz && !std::isnan(held.level_min) &&
                       !std::isnan(held.level_max);
    if (level && known && !(wanted.level >= held.level_min && wanted.level <= held.level_max)) {
        throw LevelRefusal(wanted.level, wanted.frequency_mhz, held.level_min, held.level_max,
                           scale, false);
    }
    vontrel::Status after = ApplyWithLevelPolicy(unit, held, MutedFrom(wanted), scale);
    if (level && !known) {
        // The range at the new frequency is known once programmed there.
        after = unit.status();
        if (!(wanted.level >= after.level_min && wanted.level <= after.level_max)) {
            ApplyWithLevelPolicy(unit, after, held, scale);
            throw LevelRefusal(wanted.level, wanted.frequency_mhz, after.level_min, after.level_max,
                               scale, true);
        }
    }
    access.muted_from() = wanted;
    return after;
}

void ChangeSettings(UnitOwner::Access &access, const SettingsEdit &edit)
{
    const LevelScale scale = LevelScale::Of(access.config());
    access.Call(
        [&](vontrel::Unit &unit) { ApplyEdit(access, unit, ReadBack(access, unit), edit, scale); });
}

SettingsAndOutput ReadSettingsAndOutput(UnitOwner::Access &access)
{
    SettingsAndOutput read;
    read.settings = ReadSettings(access);
    read.output_on = EffectiveOutputOff(access.config()) == OutputOff::kMute ? !access.muted_from()
                                                                             : OutputOn(access);
    return read;
}

bool OutputOn(UnitOwner::Access &access)
{
    const UnitConfig &config = access.config();
    switch (EffectiveOutputOff(config)) {
        case OutputOff::kRefuse:
            return true;
        case OutputOff::kMute:
            return access.Call([&](vontrel::Unit &unit) {
                ReadBack(access, unit);
                return !access.muted_from();
            });
        case OutputOff::kMains:
            break;
    }
    if (PowerControl *power = access.power(); power != nullptr && config.power) {
        return power->IsOn(access.serial());
    }
    MainsPower *mains = access.mains();
    return mains == nullptr || !config.power || mains->IsOn(*config.power);
}

void SetOutput(UnitOwner::Access &access, bool on)
{
    const UnitConfig &config = access.config();
    switch (EffectiveOutputOff(config)) {
        case OutputOff::kRefuse:
            if (!on) {
                throw Refusal(Reason::kUnsupported,
                              "the unit's output has no switch and is always on (output_off is "
                              "refuse in its units-file entry); the highest attenuation gives the "
                              "lowest level");
            }
            return;
        case OutputOff::kMute:
            access.MarkChanged();
            access.Call([&](vontrel::Unit &unit) {
                const vontrel::Status held = ReadBack(access, unit);
                if (on && access.muted_from()) {
                    const vontrel::Settings wanted = WithOutputOn(held, *access.muted_from());
                    ApplyWithLevelPolicy(unit, held, wanted, LevelScale::Of(config));
                    access.muted_from().reset();
                } else if (!on && !access.muted_from()) {
                    ApplyWithLevelPolicy(unit, held, MutedFrom(held), LevelScale::Of(config));
                    access.muted_from() = static_cast<const vontrel::Settings &>(held);
                }
            });
            return;
        case OutputOff::kMains:
            break;
    }
    if (PowerControl *power = access.power(); power != nullptr && config.power) {
        // Off keeps the settings, on powers the unit up, waits for it and
        // programs them again (unit_power.h).
        if (on) {
            power->On(access);
        } else {
            power->Off(access);
        }
        return;
    }
    if (access.mains() == nullptr || !config.power) {
        throw Refusal(Reason::kUnsupported,
                      "the unit's output is switched off at its mains outlet (output_off is mains "
                      "in its units-file entry), but this program drives no mains switch");
    }
    access.MarkChanged();
    access.mains()->Set(*config.power, on);
}

void ForgetMute(UnitOwner::Access &access)
{
    access.muted_from().reset();
}

}  // namespace vontrel::service
