// SPDX-License-Identifier: MIT
// The one rule for what a change of a served unit may do, whichever front
// end asks: every value within the ranges of vontrel_limits.h (checked
// whole before anything is sent), no change while a list sweep holds the
// unit or another session holds its lock, and the change made in one
// sequence under the unit's lock, under the level policy, with the state
// read back after it. The SCPI commands and the web panel both use it.
#ifndef VONTREL_SERVICE_UNIT_CHANGE_H
#define VONTREL_SERVICE_UNIT_CHANGE_H

#include <functional>

#include "include/vontrel.hpp"
#include "service/errors.h"
#include "service/output_state.h"
#include "service/settings_change.h"
#include "service/unit_owner.h"

namespace vontrel::service {

// Throws Refusal (kValueRefused) naming the first value of `change` outside
// its range or off its grid.
void CheckRanges(const Change &change);

// Throws Refusal (kLocked) while another session than `session` holds the
// unit's lock.
void CheckUnlocked(UnitOwner &owner, ConnectionId session);

// Throws Refusal when `session` may not change the unit now: kConflict
// while a list sweep runs on it, kLocked while another session holds the
// unit's lock.
void CheckMayChange(UnitOwner &owner, UnitOwner::Access &access, ConnectionId session);

// Reads the settings as the output has them when on (output_state.h),
// lets `edit` change them, programs them under the level policy (a refused
// level leaves the unit as it was; a muted unit stays muted) and returns
// the settings read back afterwards. Marks the unit changed. The caller has
// called CheckMayChange on `access`.
vontrel::Status Edit(UnitOwner::Access &access, const SettingsEdit &edit);

// A whole change for a session: CheckRanges, then under one Access
// CheckMayChange and Edit with the change merged. Returns the state read
// after it. Throws Refusal, or std::system_error when an exchange failed.
vontrel::Status ApplyChange(UnitOwner &owner, ConnectionId session, const Change &change);

// Sends the unit's preset command (or its save-user-preset command) for a
// session, as a change; returns the state read after it.
vontrel::Status Preset(UnitOwner &owner, ConnectionId session);
vontrel::Status SaveUserPreset(UnitOwner &owner, ConnectionId session);

}  // namespace vontrel::service

#endif
