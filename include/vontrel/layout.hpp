// SPDX-License-Identifier: MIT
/// @file vontrel/layout.hpp
/// @brief The status vector's two layouts, named.
/// Part of vontrel.hpp, which includes every part.
/// @since 0.1.0
#ifndef VONTREL_LAYOUT_HPP
#define VONTREL_LAYOUT_HPP

#include <array>
#include <cstddef>
#include <cstdint>

#include "vontrel.h"
#include "vontrel/settings.hpp"

namespace vontrel {
inline namespace v0 {

/// The only place that knows the positions in the status vector.
/// Vontrel_ReadStatus fills 14 entries (ReadBack), Vontrel_WriteStatus reads
/// 12 (WriteOut); read-back entries 4..12 are write-out entries 3..11 and
/// read-back entries 3 (level_max) and 13 (level_min) have no write-out
/// counterpart.
namespace layout {

using ReadBack = std::array<double, VONTREL_READ_STATUS_ENTRIES>;
using WriteOut = std::array<double, VONTREL_WRITE_STATUS_ENTRIES>;

/// Read-back index of each quantity: vontrel.h's VONTREL_READ_* names.
namespace rb {
inline constexpr std::size_t kTrimA = VONTREL_READ_trimA, kTrimB = VONTREL_READ_trimB,
                             kFreqMHz = VONTREL_READ_freqMHz, kLevelMax = VONTREL_READ_levelMax,
                             kLevel = VONTREL_READ_level, kAttenuation = VONTREL_READ_attenuation,
                             kMode = VONTREL_READ_mode, kStoredSetting = VONTREL_READ_storedSetting,
                             kFlagA = VONTREL_READ_flagA, kAutoTrim = VONTREL_READ_autoTrim,
                             kSwitchCode = VONTREL_READ_switchCode, kFlagB = VONTREL_READ_flagB,
                             kFlagC = VONTREL_READ_flagC, kLevelMin = VONTREL_READ_levelMin;
}  // namespace rb

/// The write-out index of read-back entry i, or -1 for the two entries that
/// exist only in the read-back.
constexpr int write_out_index(std::size_t read_back_index) noexcept
{
    if (read_back_index < rb::kLevelMax) {
        return static_cast<int>(read_back_index);
    }
    if (read_back_index > rb::kLevelMax && read_back_index < rb::kLevelMin) {
        return static_cast<int>(read_back_index) - 1;
    }
    return -1;
}

/// Moves a read-back vector into the write-out layout: entries 0..2 stay,
/// 4..12 move down by one, 3 and 13 are left behind.
constexpr WriteOut to_write_out(const ReadBack &values) noexcept
{
    WriteOut out{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (const int j = write_out_index(i); j >= 0) {
            out[static_cast<std::size_t>(j)] = values[i];
        }
    }
    return out;
}

/// A byte from a read-back entry; anything that is not 0..255 gives 0.
constexpr std::uint8_t entry_byte(double v) noexcept
{
    return v >= 0.0 && v <= 255.0 ? static_cast<std::uint8_t>(v) : std::uint8_t{0};
}

/// Names the entries of a read-back vector.
inline Status decode(const ReadBack &v) noexcept
{
    Status s;
    s.trim_a = entry_byte(v[rb::kTrimA]);
    s.trim_b = entry_byte(v[rb::kTrimB]);
    s.frequency_mhz = v[rb::kFreqMHz];
    s.level_max = v[rb::kLevelMax];
    s.level = v[rb::kLevel];
    s.attenuation = v[rb::kAttenuation];
    const double mode = v[rb::kMode];
    s.mode = mode == 1.0   ? Mode::kMode1
             : mode == 2.0 ? Mode::kMode2
             : mode == 3.0 ? Mode::kMode3
                           : Mode::kMode0;
    s.stored_setting = entry_byte(v[rb::kStoredSetting]);
    s.flag_a = v[rb::kFlagA] != 0.0;
    s.auto_trim = v[rb::kAutoTrim] != 0.0;
    const double sw = v[rb::kSwitchCode];
    s.output_switch = sw == 0.0   ? Switch::kPosition0
                      : sw == 1.0 ? Switch::kPosition1
                      : sw == 2.0 ? Switch::kPosition2
                      : sw == 3.0 ? Switch::kPosition3
                      : sw == 4.0 ? Switch::kPosition4
                                  : Switch::kUnknown;
    s.flag_b = v[rb::kFlagB] != 0.0;
    s.flag_c = v[rb::kFlagC] != 0.0;
    s.level_min = v[rb::kLevelMin];
    return s;
}

/// The read-back vector that names back into (the inverse of decode for
/// the values a unit reports). auto_trim is written as 2.0, the value the
/// read-back reports; flags as 0.0 or 1.0.
inline ReadBack encode_read_back(const Status &s) noexcept
{
    ReadBack v{};
    v[rb::kTrimA] = s.trim_a;
    v[rb::kTrimB] = s.trim_b;
    v[rb::kFreqMHz] = s.frequency_mhz;
    v[rb::kLevelMax] = s.level_max;
    v[rb::kLevel] = s.level;
    v[rb::kAttenuation] = s.attenuation;
    v[rb::kMode] = static_cast<double>(s.mode);
    v[rb::kStoredSetting] = s.stored_setting;
    v[rb::kFlagA] = s.flag_a ? 1.0 : 0.0;
    v[rb::kAutoTrim] = s.auto_trim ? 2.0 : 0.0;
    v[rb::kSwitchCode] = static_cast<double>(s.output_switch);
    v[rb::kFlagB] = s.flag_b ? 1.0 : 0.0;
    v[rb::kFlagC] = s.flag_c ? 1.0 : 0.0;
    v[rb::kLevelMin] = s.level_min;
    return v;
}

/// The write-out vector that programs `s`.
inline WriteOut encode(const Settings &s) noexcept
{
    Status full;
    static_cast<Settings &>(full) = s;
    return to_write_out(encode_read_back(full));
}

}  // namespace layout

}  // namespace v0
}  // namespace vontrel

#endif
