// SPDX-License-Identifier: MIT
/// @file vontrel/settings.hpp
/// @brief What a unit is set to and reports, and the checks a request passes before anything is sent.
/// Part of vontrel.hpp, which includes every part.
/// @since 0.1.0
#ifndef VONTREL_SETTINGS_HPP
#define VONTREL_SETTINGS_HPP

#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vontrel_limits.h"

namespace vontrel {
inline namespace v0 {

/// Operating mode. In kMode3 the attenuation follows the calibrated level
/// (Settings::level); in the other modes it is Settings::attenuation.
enum class Mode : std::uint8_t { kMode0 = 0, kMode1 = 1, kMode2 = 2, kMode3 = 3 };

/// Output switch position. kUnknown is read back when the unit's switch
/// pattern is none of the five positions; applying it sends the empty
/// pattern.
enum class Switch : std::int8_t {
    kUnknown = -1,
    kPosition0 = 0,
    kPosition1 = 1,
    kPosition2 = 2,
    kPosition3 = 3,
    kPosition4 = 4
};

/// What apply() programs. Every field is sent on every apply().
struct Settings {
    std::uint8_t trim_a = 0;          ///< trim A byte, used when auto_trim is false
    std::uint8_t trim_b = 0;          ///< trim B byte, used when auto_trim is false
    double frequency_mhz = 1000.0;    ///< output frequency; the unit clamps to 300..5000
    double level = 0.0;               ///< output level in level units (kMode3 only)
    double attenuation = 0.0;         ///< 0..31.75 level units in 0.25 steps (other modes)
    Mode mode = Mode::kMode0;         ///< operating mode
    std::uint8_t stored_setting = 0;  ///< byte kept at device memory address 45
    bool flag_a = false;              ///< flag A
    bool auto_trim = false;           ///< take the trims from the calibration tables
    Switch output_switch = Switch::kPosition0;  ///< switch position
    bool flag_b = false;                        ///< flag B
    bool flag_c = false;                        ///< flag C

    /// Field-wise equality.
    friend bool operator==(const Settings &, const Settings &) = default;
};

/// What status() reads back: the settings, plus the level range the unit's
/// calibration gives at the current frequency. auto_trim is true when the
/// trims equal the calibration tables' entries. Passing a Status to apply()
/// programs its Settings part.
struct Status : Settings {
    double level_max = 0.0;  ///< level at the calibrated attenuation limit
    double level_min = 0.0;  ///< level at the largest attenuation

    /// Field-wise equality.
    friend bool operator==(const Status &, const Status &) = default;
};

/// The identity block of a unit.
struct Info {
    int serial = 0;                ///< serial number, 0..65535
    std::string firmware;          ///< firmware revision, "2.5"
    char hardware_revision = 0;    ///< one letter, 'A' for revision 0
    std::string calibration_date;  ///< "07/12/2011"
    std::string if_band;           ///< "70 MHz - 140 MHz"
};

// ---------------------------------------------------------------------------
// Checking a request
// ---------------------------------------------------------------------------

/// A mode-3 level outside the calibrated range level_min..level_max of the
/// frequency it was asked at (the level policy of vontrel_limits.h).
/// restored() tells whether the unit had been programmed and the previous
/// settings were written back, or nothing was sent.
class LevelOutOfRange : public std::invalid_argument {
public:
    LevelOutOfRange(const std::string &what, double level_min, double level_max, bool restored)
        : std::invalid_argument(what),
          level_min_(level_min),
          level_max_(level_max),
          restored_(restored)
    {
    }
    double level_min() const noexcept { return level_min_; }
    double level_max() const noexcept { return level_max_; }
    bool restored() const noexcept { return restored_; }

private:
    double level_min_;
    double level_max_;
    bool restored_;
};

namespace detail {

/// The shortest decimal text that reads back as `v` ("2455.5", "-0.25").
inline std::string number(double v)
{
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : std::string("?");
}

inline bool on_step(double v)
{
    const double steps = v / VONTREL_LEVEL_STEP;
    return steps == std::floor(steps);
}

}  // namespace detail

/// Throws std::invalid_argument unless `mhz` is within
/// VONTREL_FREQ_MIN_MHZ..VONTREL_FREQ_MAX_MHZ. `name` starts the message.
inline void check_frequency(double mhz, const std::string &name = "frequency")
{
    if (!(mhz >= VONTREL_FREQ_MIN_MHZ && mhz <= VONTREL_FREQ_MAX_MHZ)) {
        throw std::invalid_argument(name + " " + detail::number(mhz) +
                                    " MHz is outside the unit's range, " +
                                    detail::number(VONTREL_FREQ_MIN_MHZ) + " to " +
                                    detail::number(VONTREL_FREQ_MAX_MHZ) + " MHz");
    }
}

/// Throws std::invalid_argument unless `value` is 0..VONTREL_ATTEN_MAX in
/// steps of VONTREL_LEVEL_STEP.
inline void check_attenuation(double value, const std::string &name = "attenuation")
{
    if (!(value >= 0.0 && value <= VONTREL_ATTEN_MAX) || !detail::on_step(value)) {
        throw std::invalid_argument(name + " " + detail::number(value) +
                                    " is not an attenuation the unit takes: 0 to " +
                                    detail::number(VONTREL_ATTEN_MAX) + " in steps of " +
                                    detail::number(VONTREL_LEVEL_STEP));
    }
}

/// Throws std::invalid_argument unless `value` is within
/// VONTREL_LEVEL_MIN..VONTREL_LEVEL_MAX in steps of VONTREL_LEVEL_STEP. The
/// unit's own range at a frequency is narrower: see Unit::apply.
inline void check_level(double value, const std::string &name = "level")
{
    if (!(value >= VONTREL_LEVEL_MIN && value <= VONTREL_LEVEL_MAX) || !detail::on_step(value)) {
        throw std::invalid_argument(
            name + " " + detail::number(value) + " is not a level a unit takes: " +
            detail::number(VONTREL_LEVEL_MIN) + " to " + detail::number(VONTREL_LEVEL_MAX) +
            " in steps of " + detail::number(VONTREL_LEVEL_STEP));
    }
}

/// Throws std::invalid_argument unless `seconds` is finite and within
/// 0..`max_s` (VONTREL_TIMEOUT_MAX_S for time-outs, VONTREL_DWELL_MAX_S for
/// a dwell).
inline void check_seconds(double seconds, const std::string &name,
                          double max_s = VONTREL_TIMEOUT_MAX_S)
{
    if (!(seconds >= 0.0 && seconds <= max_s)) {
        throw std::invalid_argument(name + " " + detail::number(seconds) +
                                    " s is not a time from 0 to " + detail::number(max_s) +
                                    " seconds");
    }
}

/// Throws std::invalid_argument unless every setting that takes effect is
/// one the unit takes: the frequency always, the level in Mode::kMode3 and
/// the attenuation in the other modes (the other one is ignored there, but
/// must still be finite), the mode and switch values named by their enums
/// (Switch::kUnknown sends the empty pattern, as read back).
inline void check_settings(const Settings &s)
{
    check_frequency(s.frequency_mhz);
    const auto mode = static_cast<int>(s.mode);
    if (mode < 0 || mode > VONTREL_MODE_MAX) {
        throw std::invalid_argument("mode " + std::to_string(mode) + " is not 0 to " +
                                    std::to_string(VONTREL_MODE_MAX));
    }
    const auto sw = static_cast<int>(s.output_switch);
    if (sw < static_cast<int>(Switch::kUnknown) || sw > VONTREL_SWITCH_MAX) {
        throw std::invalid_argument("switch " + std::to_string(sw) + " is not 0 to " +
                                    std::to_string(VONTREL_SWITCH_MAX));
    }
    if (mode == VONTREL_MODE_LEVEL) {
        check_level(s.level);
    } else {
        check_attenuation(s.attenuation);
    }
    if (!std::isfinite(s.level) || !std::isfinite(s.attenuation)) {
        throw std::invalid_argument("level and attenuation must be finite, even where ignored");
    }
}

}  // namespace v0
}  // namespace vontrel

#endif
