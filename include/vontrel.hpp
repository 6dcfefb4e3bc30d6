// SPDX-License-Identifier: MIT
/*
 * libvontrel for C++: a typed, header-only layer over the eight exports of
 * vontrel.h.
 *
 *     for (vontrel::Unit &unit : vontrel::open_all()) {
 *         vontrel::Status s = unit.status();
 *         s.frequency_mhz = 2455.0;
 *         s.attenuation = 10.0;
 *         unit.apply(s);              // Status is-a Settings
 *     }                               // each Unit closes its handle here
 *
 * ERRORS
 *   Every call checks both the export's result and the D2XX status it
 *   leaves, and throws std::system_error whose code() belongs to
 *   vontrel::status_category(): value() is the D2XX status (4 for
 *   FT_IO_ERROR), message() reads "FT_IO_ERROR: input/output error on the
 *   link to the unit". The exports keep the first failed D2XX status, so a
 *   failure anywhere in a multi-exchange call is reported.
 *
 * BAD VALUES
 *   A request outside what a unit takes (the ranges and the level policy of
 *   vontrel_limits.h, a time-out that is not finite or beyond
 *   VONTREL_TIMEOUT_MAX_S, a sweep that is too long) throws
 *   std::invalid_argument before anything is sent; a mode-3 level that the
 *   unit's calibration cannot reach throws its subclass LevelOutOfRange.
 *   Times are in seconds.
 *
 * THREADS
 *   Distinct Unit objects may be used from different threads at once. One
 *   Unit must not be used by two threads at the same time.
 */
#ifndef VONTREL_HPP
#define VONTREL_HPP

#include <array>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "vontrel.h"
#include "vontrel_limits.h"
#include "vontrel_status.h"

namespace vontrel {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

/// The error category of D2XX status codes: name() is "vontrel.d2xx",
/// message(c) is "<NAME>: <message>" from vontrel_status.h.
class StatusCategory final : public std::error_category {
public:
    /// The category's name, "vontrel.d2xx".
    const char *name() const noexcept override { return "vontrel.d2xx"; }

    /// "FT_IO_ERROR: input/output error on the link to the unit".
    std::string message(int code) const override
    {
        const auto status = static_cast<unsigned long>(static_cast<unsigned>(code));
        return std::string(vontrel_status_name(status)) + ": " + vontrel_status_message(status);
    }
};

/// The one instance of StatusCategory.
inline const std::error_category &status_category() noexcept
{
    static const StatusCategory category;
    return category;
}

/// The error_code for a D2XX status; FT_OK (0) is the empty code.
inline std::error_code make_status_code(unsigned long status) noexcept
{
    const int value =
        status > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(status);
    return {value, status_category()};
}

namespace detail {

inline constexpr unsigned long kStatusOk = 0;
inline constexpr unsigned long kStatusOtherError = 18;  // FT_OTHER_ERROR

/// Throws std::system_error for a failed call. A call that failed by its
/// result without leaving a failure status is reported as FT_OTHER_ERROR.
[[noreturn]] inline void raise(unsigned long status, const char *call)
{
    throw std::system_error(make_status_code(status == kStatusOk ? kStatusOtherError : status),
                            call);
}

/// Throws unless the export ran to its end (result 0) and every one of its
/// D2XX calls succeeded (its *status is FT_OK).
inline void check(int result, unsigned long status, const char *call)
{
    if (result != 0 || status != kStatusOk) {
        raise(status, call);
    }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Value types
// ---------------------------------------------------------------------------

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

/// The frequencies of a sweep from `start` to `stop` (either direction) in
/// steps of `step` MHz, which must be greater than 0; `stop` is included when
/// the steps reach it to within a billionth of a step. Points lie on a
/// micro-hertz grid, so 0.1 MHz steps give 4999.9 and not 4999.900000000001.
/// Throws std::invalid_argument for a point outside the unit's range, a step
/// that is not finite and positive, or more than VONTREL_SWEEP_POINTS_MAX
/// points.
inline std::vector<double> sweep_points(double start, double stop, double step)
{
    check_frequency(start, "sweep start");
    check_frequency(stop, "sweep stop");
    if (!(step > 0.0 && step <= VONTREL_FREQ_MAX_MHZ)) {
        throw std::invalid_argument("sweep step " + detail::number(step) +
                                    " MHz must be greater than 0 and at most " +
                                    detail::number(VONTREL_FREQ_MAX_MHZ));
    }
    // Counting steps rather than adding them keeps the points exact
    // multiples of the step.
    const double count = std::floor(std::fabs(stop - start) / step + 1e-9) + 1.0;
    if (count > VONTREL_SWEEP_POINTS_MAX) {
        throw std::invalid_argument("the sweep has " + detail::number(count) + " points; at most " +
                                    std::to_string(VONTREL_SWEEP_POINTS_MAX) + " are taken");
    }
    const double direction = stop >= start ? 1.0 : -1.0;
    const auto n = static_cast<std::size_t>(count);
    std::vector<double> points;
    points.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double f = start + direction * static_cast<double>(i) * step;
        points.push_back(std::round(f * 1e6) / 1e6);
    }
    return points;
}

// ---------------------------------------------------------------------------
// The status vector's two layouts
// ---------------------------------------------------------------------------

/// The only place that knows the positions in the status vector.
/// Vontrel_ReadStatus fills 14 entries (ReadBack), Vontrel_WriteStatus reads
/// 12 (WriteOut); read-back entries 4..12 are write-out entries 3..11 and
/// read-back entries 3 (level_max) and 13 (level_min) have no write-out
/// counterpart.
namespace layout {

using ReadBack = std::array<double, VONTREL_READ_STATUS_ENTRIES>;
using WriteOut = std::array<double, VONTREL_WRITE_STATUS_ENTRIES>;

/// Read-back index of each quantity.
namespace rb {
inline constexpr std::size_t kTrimA = 0, kTrimB = 1, kFreqMHz = 2, kLevelMax = 3, kLevel = 4,
                             kAttenuation = 5, kMode = 6, kStoredSetting = 7, kFlagA = 8,
                             kAutoTrim = 9, kSwitchCode = 10, kFlagB = 11, kFlagC = 12,
                             kLevelMin = 13;
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

// ---------------------------------------------------------------------------
// Units
// ---------------------------------------------------------------------------

/// An open unit. Owns its handle token and closes it when destroyed;
/// movable, not copyable. A moved-from Unit holds nothing and every device
/// call on it throws FT_INVALID_HANDLE.
class Unit {
public:
    /// An empty Unit that holds no handle.
    Unit() noexcept = default;

    /// Takes ownership of a token that Vontrel_Open stored.
    Unit(int token, int index, int serial) noexcept : token_(token), index_(index), serial_(serial)
    {
    }

    Unit(const Unit &) = delete;
    Unit &operator=(const Unit &) = delete;

    /// Takes the other unit's handle; the other one is left empty.
    Unit(Unit &&other) noexcept
        : token_(std::exchange(other.token_, 0)), index_(other.index_), serial_(other.serial_)
    {
    }

    /// Closes this unit's handle, then takes the other one's.
    Unit &operator=(Unit &&other) noexcept
    {
        if (this != &other) {
            release();
            token_ = std::exchange(other.token_, 0);
            index_ = other.index_;
            serial_ = other.serial_;
        }
        return *this;
    }

    /// Closes the handle; a failure to close is not reported here (see close()).
    ~Unit() { release(); }

    /// Whether this Unit holds an open handle.
    bool is_open() const noexcept { return token_ != 0; }
    explicit operator bool() const noexcept { return is_open(); }

    /// The converter's enumeration index when the unit was opened.
    int index() const noexcept { return index_; }

    /// The serial number read when the unit was opened.
    int serial() const noexcept { return serial_; }

    /// The raw handle for the C exports (vontrel.h); still owned by this Unit.
    void *handle() const noexcept { return handle_of(token_); }

    /// Closes the handle now and throws if the converter reported a failure
    /// (the handle is released either way). Does nothing on an empty Unit.
    void close()
    {
        if (token_ == 0) {
            return;
        }
        const int result = Vontrel_Close(handle_of(std::exchange(token_, 0)));
        if (result != 0) {
            detail::raise(static_cast<unsigned long>(result), "Vontrel_Close");
        }
    }

    /// Reads the identity block (ten memory reads). Throws on any failure.
    Info info() const
    {
        unsigned long status = 0;
        int sn = 0;
        char frev[VONTREL_FREV_SIZE] = {};
        char hrev[VONTREL_HREV_SIZE + 1] = {};
        char caldate[VONTREL_CALDATE_SIZE] = {};
        char ifband[VONTREL_IFBAND_SIZE] = {};
        const int result = Vontrel_ReadInfo(&status, handle(), &sn, frev, hrev, caldate, ifband);
        detail::check(result, status, "Vontrel_ReadInfo");
        frev[VONTREL_FREV_SIZE - 1] = '\0';
        caldate[VONTREL_CALDATE_SIZE - 1] = '\0';
        ifband[VONTREL_IFBAND_SIZE - 1] = '\0';
        return Info{sn, frev, hrev[0], caldate, ifband};
    }

    /// Reads the synthesizer state back (thirteen exchanges, reads only).
    /// Throws when the call or any of its exchanges failed.
    Status status() const
    {
        unsigned long status = 0;
        layout::ReadBack values{};
        const int result = Vontrel_ReadStatus(&status, handle(), values.data());
        detail::check(result, status, "Vontrel_ReadStatus");
        return layout::decode(values);
    }

    /// Checks `settings` (check_settings) and programs the unit (12 or 14
    /// exchanges). In Mode::kMode3 the level policy of vontrel_limits.h
    /// applies, for which the state is read first (13 exchanges): at the
    /// frequency the unit is at, a level outside its calibrated range throws
    /// LevelOutOfRange before anything is sent; at a new frequency the state
    /// is read back once programmed (13 exchanges) and, when the level lies
    /// outside the range there, the state read first is written back and
    /// LevelOutOfRange thrown with restored() true. Throws std::system_error
    /// when an exchange failed; the unit may then be partly programmed.
    void apply(const Settings &settings)
    {
        check_settings(settings);
        if (settings.mode == Mode::kMode3) {
            (void)apply(settings, status());
        } else {
            write(settings);
        }
    }

    /// apply() with the state `before` that status() returned just before,
    /// which is then not read again. Returns what is known of the state
    /// afterwards: `settings`, with the calibrated level range where it was
    /// read back or stayed the same, else NaN for both ends; a later apply()
    /// given that state reads the range back again. Outside Mode::kMode3
    /// `before` is not used.
    Status apply(const Settings &settings, const Status &before)
    {
        check_settings(settings);
        constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
        Status after;
        static_cast<Settings &>(after) = settings;
        const bool same_frequency = before.frequency_mhz == settings.frequency_mhz;
        after.level_min = same_frequency ? before.level_min : kUnknown;
        after.level_max = same_frequency ? before.level_max : kUnknown;
        if (settings.mode != Mode::kMode3) {
            write(settings);
            return after;
        }
        const bool known =
            same_frequency && !std::isnan(before.level_min) && !std::isnan(before.level_max);
        if (known && !in_range(settings.level, before)) {
            throw level_error(settings, before, false);
        }
        write(settings);
        if (known) {
            return after;
        }
        const Status read = status();
        if (!in_range(settings.level, read)) {
            write(before);
            throw level_error(settings, read, true);
        }
        after.level_min = read.level_min;
        after.level_max = read.level_max;
        return after;
    }

    /// Polls lock detect every VONTREL_LOCK_POLL_S, and at least once, until
    /// the unit reports lock or `timeout_s` seconds have passed (finite, 0 to
    /// VONTREL_TIMEOUT_MAX_S, else std::invalid_argument). Returns whether it
    /// locked.
    bool wait_lock(double timeout_s = VONTREL_LOCK_TIMEOUT_DEFAULT_S) const
    {
        check_seconds(timeout_s, "lock time-out");
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(timeout_s));
        const auto poll = std::chrono::duration<double>(VONTREL_LOCK_POLL_S);
        for (;;) {
            if (locked()) {
                return true;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(
                std::chrono::duration_cast<Clock::duration>(poll), deadline - now));
        }
    }

    /// Reads lock detect (one exchange). Throws on failure, so false means
    /// the unit answered and is not locked.
    bool locked() const
    {
        unsigned long status = 0;
        int ld = 0;
        const int result = Vontrel_ReadLD(&status, handle(), &ld);
        detail::check(result, status, "Vontrel_ReadLD");
        return ld != 0;
    }

    /// Sends the preset command: the unit restores its user preset, or its
    /// power-up settings when none was saved. Throws on failure.
    void preset()
    {
        unsigned long status = 0;
        Vontrel_Preset(&status, handle());
        detail::check(0, status, "Vontrel_Preset");
    }

    /// Sends the save-user-preset command: the unit keeps its current
    /// registers as the user preset. Throws on failure.
    void save_user_preset()
    {
        unsigned long status = 0;
        Vontrel_SaveUserPreset(&status, handle());
        detail::check(0, status, "Vontrel_SaveUserPreset");
    }

private:
    // Programs exactly `settings`, unchecked.
    void write(const Settings &settings)
    {
        unsigned long status = 0;
        layout::WriteOut values = layout::encode(settings);
        Vontrel_WriteStatus(&status, handle(), values.data());
        detail::check(0, status, "Vontrel_WriteStatus");
    }

    static bool in_range(double level, const Status &at) noexcept
    {
        return level >= at.level_min && level <= at.level_max;
    }

    static LevelOutOfRange level_error(const Settings &wanted, const Status &at, bool restored)
    {
        return LevelOutOfRange("level " + detail::number(wanted.level) +
                                   " is outside the unit's calibrated range at " +
                                   detail::number(wanted.frequency_mhz) +
                                   " MHz: " + detail::number(at.level_min) + " to " +
                                   detail::number(at.level_max) +
                                   (restored ? "; the previous settings were restored" : ""),
                               at.level_min, at.level_max, restored);
    }

    static void *handle_of(int token) noexcept
    {
        return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));  // NOLINT
    }

    void release() noexcept
    {
        if (token_ != 0) {
            Vontrel_Close(handle_of(std::exchange(token_, 0)));
        }
    }

    int token_ = 0;
    int index_ = -1;
    int serial_ = -1;
};

/// The most converters Vontrel_Open walks, and so the size of the arrays
/// discover() passes it.
inline constexpr int kMaxConverters = VONTREL_MAX_CONVERTERS;

/// What discover() found: the units that opened, the number of converters
/// whose description matched (units that failed to open count here too),
/// and the status of Vontrel_Open's last D2XX call.
struct Discovery {
    std::vector<Unit> units;  ///< in enumeration order
    int matched = 0;          ///< converters that looked like units
    std::error_code status;   ///< empty when the last call succeeded
};

/// Opens every attached unit. Throws only when the walk itself failed
/// (the converter count could not be read); a unit that failed to open shows
/// as matched > units.size().
inline Discovery discover()
{
    Discovery found;
    found.units.reserve(kMaxConverters);  // allocate before any handle exists
    std::vector<int> handles(kMaxConverters, 0);
    std::vector<int> serials(kMaxConverters, -1);
    unsigned long status = 0;
    int matched = 0;
    const int result = Vontrel_Open(&status, &matched, handles.data(), serials.data());
    if (result == -1 && status == 0) {
        return found;  // no converter attached
    }
    if (result != 0) {
        detail::raise(status, "Vontrel_Open");
    }
    for (int i = 0; i < kMaxConverters; ++i) {
        if (handles[static_cast<std::size_t>(i)] > 0) {
            found.units.emplace_back(handles[static_cast<std::size_t>(i)], i,
                                     serials[static_cast<std::size_t>(i)]);
        }
    }
    found.matched = matched;
    found.status = make_status_code(status);
    return found;
}

/// Opens every attached unit, in enumeration order; empty when there is
/// none. Throws when units were found but none of them opened, with the
/// status of the last failure.
inline std::vector<Unit> open_all()
{
    Discovery found = discover();
    if (found.units.empty() && found.matched > 0) {
        detail::raise(static_cast<unsigned long>(found.status.value()), "Vontrel_Open");
    }
    return std::move(found.units);
}

}  // namespace vontrel

#endif
