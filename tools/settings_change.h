// Settings changes of set and sweep: what the command line asked for, put
// onto the settings read back, and programmed under the level policy.
#ifndef VONTREL_TOOLS_SETTINGS_CHANGE_H
#define VONTREL_TOOLS_SETTINGS_CHANGE_H

#include <optional>
#include <string>

#include "include/vontrel.hpp"

namespace vontrel::tool {

// Settings changes requested by set and sweep, already range-checked.
struct Change {
    std::optional<double> frequency_mhz;
    std::optional<double> level;
    std::optional<double> attenuation;
    std::optional<int> mode;
    std::optional<int> output_switch;
    std::optional<bool> flag_a, flag_b, flag_c, auto_trim;
    std::optional<int> trim_a, trim_b, stored_setting;
};

// The settings read back with the requested changes put onto them.
Settings Merge(Settings s, const Change &c);

// Programs `wanted`, checking a mode-3 level against the unit's calibrated
// range; see settings_change.cpp.
void ApplyChecked(Unit &unit, const vontrel::Status *current, const Settings &wanted,
                  const Settings &restore);

// "frequency 2455 MHz, attenuation 10" for the settings the command line gave.
std::string ChangeText(const Change &c);

}  // namespace vontrel::tool

#endif
