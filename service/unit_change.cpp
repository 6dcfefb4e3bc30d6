// SPDX-License-Identifier: MIT
// The rule every change of a served unit keeps.
#include "service/unit_change.h"

#include <fmt/format.h>

#include <cmath>

#include "include/vontrel_limits.h"
#include "service/level_policy.h"

namespace vontrel::service {
namespace {

template <typename T>
void InRange(const std::optional<T> &value, double min, double max, double step, const char *name)
{
    if (!value) {
        return;
    }
    const double v = static_cast<double>(*value);
    if (!(v >= min && v <= max)) {
        throw Refusal(Reason::kValueRefused,
                      fmt::format("{} {} is outside {} to {}", name, v, min, max));
    }
    if (step > 0 && std::fabs(v / step - std::round(v / step)) > 1e-9) {
        throw Refusal(Reason::kValueRefused,
                      fmt::format("{} {} is not a multiple of {}", name, v, step));
    }
}

}  // namespace

void CheckRanges(const Change &c)
{
    InRange(c.frequency_mhz, VONTREL_FREQ_MIN_MHZ, VONTREL_FREQ_MAX_MHZ, 0.0, "frequency (MHz)");
    InRange(c.level, VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX, VONTREL_LEVEL_STEP, "level");
    InRange(c.attenuation, 0.0, VONTREL_ATTEN_MAX, VONTREL_LEVEL_STEP, "attenuation");
    InRange(c.mode, 0, VONTREL_MODE_MAX, 1, "mode");
    InRange(c.output_switch, 0, VONTREL_SWITCH_MAX, 1, "switch");
    InRange(c.trim_a, 0, VONTREL_BYTE_MAX, 1, "trim A");
    InRange(c.trim_b, 0, VONTREL_BYTE_MAX, 1, "trim B");
    InRange(c.stored_setting, 0, VONTREL_BYTE_MAX, 1, "stored setting");
    if (c.level && c.attenuation) {
        throw Refusal(Reason::kValueRefused,
                      "a level (mode 3) and an attenuation (the other modes) cannot both be set");
    }
    if (c.level && c.mode && *c.mode != VONTREL_MODE_LEVEL) {
        throw Refusal(Reason::kValueRefused,
                      fmt::format("a level is used in mode {} only, not in mode {}",
                                  VONTREL_MODE_LEVEL, *c.mode));
    }
}

void CheckUnlocked(UnitOwner &owner, ConnectionId session)
{
    if (!owner.session_lock().MayChange(session)) {
        throw Refusal(Reason::kLocked, fmt::format("unit {} is locked by {}", owner.serial(),
                                                   owner.session_lock().Holder()));
    }
}

void CheckMayChange(UnitOwner &owner, UnitOwner::Access &access, ConnectionId session)
{
    if (access.sweeper() != kNoSweep) {
        throw Refusal(Reason::kConflict,
                      access.sweeper() == session
                          ? "this connection's list sweep is running; ABORt stops it"
                          : "another connection's list sweep is running on this unit");
    }
    CheckUnlocked(owner, session);
}

vontrel::Status Edit(UnitOwner::Access &access, const SettingsEdit &edit)
{
    access.MarkChanged();
    ChangeSettings(access, edit);
    return ReadSettings(access);
}

vontrel::Status ApplyChange(UnitOwner &owner, ConnectionId session, const Change &change)
{
    CheckRanges(change);
    UnitOwner::Access access(owner);
    CheckMayChange(owner, access, session);
    return Edit(access, [&](Settings &s, const Status &) { s = Merge(s, change); });
}

vontrel::Status Preset(UnitOwner &owner, ConnectionId session)
{
    UnitOwner::Access access(owner);
    CheckMayChange(owner, access, session);
    access.MarkChanged();
    const vontrel::Status after = access.Call([](vontrel::Unit &u) {
        u.preset();
        return u.status();
    });
    ForgetMute(access);  // the preset programmed the unit otherwise
    return after;
}

vontrel::Status SaveUserPreset(UnitOwner &owner, ConnectionId session)
{
    UnitOwner::Access access(owner);
    CheckMayChange(owner, access, session);
    return access.Call([](vontrel::Unit &u) {
        u.save_user_preset();
        return u.status();
    });
}

}  // namespace vontrel::service
