// SPDX-License-Identifier: MIT
// The output of a served unit: what "output off" does to it and whether
// its output is on, for every front end (SCPI OUTPut, the web panel,
// Tango). The unit has no RF switch; its units-file entry says what "off"
// is instead (EffectiveOutputOff, units_file.h):
//
//   refuse  "off" is refused; the output is always on;
//   mute    the attenuator goes to its highest, 31.75 level units (mode 3,
//           which sets the attenuation from the level, becomes mode 1); the
//           output reads off while the unit holds that, and "on" brings the
//           mode, level and attenuation back. Not an RF switch: the signal
//           is 31.75 level units lower, not gone;
//   mains   the mains switch outlet that powers the unit is switched off.
//
// While muted, changes of mode, level and attenuation (a sweep's among
// them) are kept for "on" and the unit stays at the highest attenuation;
// the settings read (ReadSettings) are those "on" brings back, as a signal
// generator's level is the one its output has when on. Anything else that
// programs the unit (a preset) ends the mute: the output reads on again.
#ifndef VONTREL_SERVICE_OUTPUT_STATE_H
#define VONTREL_SERVICE_OUTPUT_STATE_H

#include <functional>
#include <string>

#include "include/vontrel.hpp"
#include "service/level_units.h"
#include "service/unit_owner.h"
#include "service/units_file.h"

namespace vontrel::service {

// The attenuation a muted unit holds: the attenuator's highest.
inline constexpr double kMuteAttenuation = VONTREL_ATTEN_MAX;

// What "output off" does, in a few words without ',' or ';' (for *OPT?):
// "output off mutes - attenuation 31.75 level units - not an RF switch".
std::string OutputOffText(const UnitConfig &config);

// The unit's settings as read back, with mode, level and attenuation as
// "on" brings them back while the unit is muted (the level range is the
// unit's at its frequency).
vontrel::Status ReadSettings(UnitOwner::Access &access);

// Reads the settings (ReadSettings), lets `edit` change them and programs
// them (ApplyEdit). Throws Refusal and std::system_error as
// ApplyWithLevelPolicy does.
using SettingsEdit = std::function<void(vontrel::Settings &wanted, const vontrel::Status &before)>;
void ChangeSettings(UnitOwner::Access &access, const SettingsEdit &edit);

// The state the unit holds, read back (13 exchanges); a mute it no longer
// holds is forgotten.
vontrel::Status ReadHeld(UnitOwner::Access &access, vontrel::Unit &unit);

// Lets `edit` change the settings as the output has them when on, the
// unit holding `held` (as ReadHeld or the last call of this left it), and
// programs them under the level policy (`scale` in its messages). While
// muted, the unit keeps the highest attenuation and the mode, level and
// attenuation `edit` gives wait for "on", a level being checked against
// the calibrated range at the frequency all the same. Returns the state
// the unit then holds, as ApplyWithLevelPolicy does.
vontrel::Status ApplyEdit(UnitOwner::Access &access, vontrel::Unit &unit,
                          const vontrel::Status &held, const SettingsEdit &edit, const LevelScale &scale);

// ReadSettings, and whether the output is on (OutputOn), from one read-back
// for a muted unit.
struct SettingsAndOutput {
    vontrel::Status settings;
    bool output_on = true;
};
SettingsAndOutput ReadSettingsAndOutput(UnitOwner::Access &access);

// Whether the output is on: always with "refuse"; with "mute", unless the
// unit is muted (one read-back); with "mains", as the switch reads the
// outlet (on when this program drives no mains switch: nothing here can
// have switched it off). Throws std::system_error when the unit or the
// switch cannot be read.
bool OutputOn(UnitOwner::Access &access);

// Turns the output on or off as EffectiveOutputOff says. Refusal
// (kUnsupported) for "off" with "refuse", and for "mains" when this
// program drives no mains switch; Refusal (kValueRefused) when the level
// "on" would bring back lies outside the calibrated range at the present
// frequency (the unit stays muted); std::system_error when an exchange
// fails.
void SetOutput(UnitOwner::Access &access, bool on);

// Forgets a mute: the unit has been programmed otherwise (a preset).
void ForgetMute(UnitOwner::Access &access);

}  // namespace vontrel::service

#endif
