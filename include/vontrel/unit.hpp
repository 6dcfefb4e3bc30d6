// SPDX-License-Identifier: MIT
/// @file vontrel/unit.hpp
/// @brief An open unit, and finding the attached ones.
/// Part of vontrel.hpp, which includes every part.
/// @since 0.1.0
#ifndef VONTREL_UNIT_HPP
#define VONTREL_UNIT_HPP

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "vontrel.h"
#include "vontrel/error.hpp"
#include "vontrel/layout.hpp"
#include "vontrel/settings.hpp"
#include "vontrel_limits.h"

namespace vontrel {
inline namespace v0 {

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

}  // namespace v0
}  // namespace vontrel

#endif
