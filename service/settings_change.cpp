// SPDX-License-Identifier: MIT
// Settings changes of set and sweep.
#include "service/settings_change.h"

#include <fmt/format.h>

#include <vector>

namespace vontrel::service {

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
            parts.push_back(fmt::format("{} {}", name, *value ? "on" : "off"));
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
    return fmt::format("{}", fmt::join(parts, ", "));
}

bool IsEmpty(const Change &c)
{
    return ChangeText(c).empty();
}

}  // namespace vontrel::service
