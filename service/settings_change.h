// SPDX-License-Identifier: MIT
// Settings changes of set and sweep: what the command line asked for, put
// onto the settings read back (Unit::apply then checks and programs them).
#ifndef VONTREL_SERVICE_SETTINGS_CHANGE_H
#define VONTREL_SERVICE_SETTINGS_CHANGE_H

#include <optional>
#include <string>

#include "include/vontrel.hpp"

namespace vontrel::service {

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

// "frequency 2455 MHz, attenuation 10" for the settings the command line gave.
std::string ChangeText(const Change &c);

// Whether the change changes nothing.
bool IsEmpty(const Change &c);

}  // namespace vontrel::service

#endif
