// SPDX-License-Identifier: MIT
// The stall-train oracle: a unit that stalls is driven through the exports
// as a program that reads, changes and writes settings would drive it,
// while a twin unit that never stalls is kept holding what the first one
// holds. Every call that reports FT_OK is checked against the twin: a value
// the unit did not hold is a wrong one. The settings bytes that a
// read-modify-write stores (trims at 83 and 84, the stored setting at 45)
// are never meant to change, so any change there is a byte that reached the
// unit's memory from a shifted read. Used by the reliability test (a table
// of trains) and by benchmarks/stall_oracle.cpp (random trains, measured).
#ifndef VONTREL_TESTS_RELIABILITY_STALL_ORACLE_H
#define VONTREL_TESTS_RELIABILITY_STALL_ORACLE_H

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.h"
#include "protocol/unit_protocol.h"

namespace stall_oracle {

using Clock = std::chrono::steady_clock;

// One stall beyond the read time-out, then short ones soon after the unit
// resumes (vsim_late_train).
struct Train {
    long nth;                // which reply of the stalling unit is late
    unsigned long first_ms;  // how late
    std::vector<vsim_stall> after;
    unsigned long Span() const  // from the late reply's frame to the last resume
    {
        unsigned long span = first_ms;
        for (const vsim_stall &s : after) {
            span += s.gap_ms + s.ms;
        }
        return span;
    }
};

struct Counts {
    long ok = 0;              // calls that reported FT_OK, each checked
    long wrong = 0;           // of those, with a value the unit did not hold
    long failed = 0;          // calls that reported a failure
    long memory_changed = 0;  // settings bytes changed by a write from a read
    double recovery_ms = -1;  // from the last resume to the first right FT_OK call
    std::string first_wrong;  // what the first wrong call was
};

// The settings the program keeps writing back (write-out layout): trims,
// stored setting and mode stay; only the frequency changes.
constexpr std::array<double, 12> kSettings = {195, 92, 1000, 0, 10, 0, 155, 1, 0, 0, 0, 0};

inline void *AsHandle(int token)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
}

class Bench {
public:
    // A unit and its twin, alike (the same serial number), both programmed
    // with kSettings. `echoes`: whether the units' replies echo.
    explicit Bench(bool echoes)
    {
        vsim_clear();
        vsim_set_log_capacity(4096);
        unit_ = vsim_add_unit("Vontrel", 0x3A7C);
        twin_ = vsim_add_unit("Vontrel", 0x3A7C);
        vsim_set_echo(unit_, echoes);
        vsim_set_echo(twin_, echoes);
        unsigned long status = 0;
        int found = 0;
        int handles[2] = {};
        int serials[2] = {};
        Vontrel_Open(&status, &found, handles, serials);
        handle_ = AsHandle(handles[0]);
        twin_handle_ = AsHandle(handles[1]);
        ok_ = handles[0] != 0 && handles[1] != 0 && serials[0] == 0x3A7C;
        std::array<double, 12> v = kSettings;
        Vontrel_WriteStatus(&status, handle_, v.data());
        ok_ = ok_ && status == FT_OK;
        Vontrel_WriteStatus(&status, twin_handle_, v.data());
        ok_ = ok_ && status == FT_OK;
        for (const std::uint16_t a : kSettingBytes) {
            settings_[a] = vsim_get_memory(unit_, a);
        }
    }
    ~Bench()
    {
        vsim_clear_faults();
        Vontrel_Close(handle_);
        Vontrel_Close(twin_handle_);
    }
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    bool ok() const { return ok_; }
    int unit() const { return unit_; }

    // Arms the train and runs `calls` calls (at least; more until
    // `after_ms` past the train's last resume), counting.
    Counts Run(const Train &train, int calls, unsigned long after_ms)
    {
        Counts counts;
        vsim_late_train(unit_, train.nth, train.first_ms, train.after.data(), train.after.size());
        const auto resumed = Clock::now() + std::chrono::milliseconds(train.Span());
        const auto until = resumed + std::chrono::milliseconds(after_ms);
        double frequency = 1000;
        for (int call = 0; call < calls || Clock::now() < until; ++call) {
            const bool right = Call(call, counts, frequency);
            const auto now = Clock::now();
            if (right && counts.recovery_ms < 0 && now >= resumed) {
                counts.recovery_ms =
                    std::chrono::duration<double, std::milli>(now - resumed).count();
            }
        }
        for (const std::uint16_t a : kSettingBytes) {
            if (vsim_get_memory(unit_, a) != settings_[a]) {
                ++counts.memory_changed;
            }
        }
        return counts;
    }

private:
    static constexpr std::uint16_t kSettingBytes[] = {
        vontrel::mem::kStoredSetting, vontrel::mem::kLastTrimA, vontrel::mem::kLastTrimB};

    // The twin is made to hold what the unit holds now.
    void Mirror()
    {
        for (int r = 0; r < 8; ++r) {
            vsim_set_register(twin_, r, vsim_get_register(unit_, r));
        }
        for (const std::uint16_t a : kSettingBytes) {
            vsim_set_memory(twin_, a, vsim_get_memory(unit_, a));
        }
    }

    void Wrong(Counts &counts, const std::string &what)
    {
        if (counts.wrong++ == 0) {
            counts.first_wrong = what;
        }
    }

    // One call of the program; true when it reported FT_OK (and was right).
    bool Call(int call, Counts &counts, double &frequency)
    {
        unsigned long status = 0;
        switch (call % 4) {
            case 0:
            case 2: {  // read back, and write the settings read with a new frequency
                std::array<double, 14> got{};
                Vontrel_ReadStatus(&status, handle_, got.data());
                if (status != FT_OK) {
                    ++counts.failed;
                    return false;
                }
                Mirror();
                std::array<double, 14> truth{};
                unsigned long twin_status = 0;
                Vontrel_ReadStatus(&twin_status, twin_handle_, truth.data());
                ++counts.ok;
                const bool right = std::memcmp(got.data(), truth.data(), sizeof got) == 0;
                if (!right) {
                    Wrong(counts, "read-back: " + std::to_string(got[2]) + " MHz for " +
                                      std::to_string(truth[2]));
                }
                if (call % 4 == 2) {
                    // As a program that trusts FT_OK would: the settings read
                    // are written back with a new frequency, right or not;
                    // a wrong read shows in the unit's memory then.
                    frequency = frequency == 1000 ? 2000 : 1000;
                    std::array<double, 12> v = {got[0], got[1],  frequency, got[4],
                                                got[5], got[6],  got[7],    got[8],
                                                0,      got[10], got[11],   got[12]};
                    Vontrel_WriteStatus(&status, handle_, v.data());
                    status == FT_OK ? ++counts.ok : ++counts.failed;
                }
                return right;
            }
            case 1: {
                int sn = 0;
                char f[VONTREL_FREV_SIZE] = {}, h[1] = {}, c[VONTREL_CALDATE_SIZE] = {},
                     i[VONTREL_IFBAND_SIZE] = {};
                Vontrel_ReadInfo(&status, handle_, &sn, f, h, c, i);
                if (status != FT_OK) {
                    ++counts.failed;
                    return false;
                }
                ++counts.ok;
                int tsn = 0;
                char tf[VONTREL_FREV_SIZE] = {}, th[1] = {}, tc[VONTREL_CALDATE_SIZE] = {},
                     ti[VONTREL_IFBAND_SIZE] = {};
                unsigned long twin_status = 0;
                Vontrel_ReadInfo(&twin_status, twin_handle_, &tsn, tf, th, tc, ti);
                if (sn != tsn || std::strcmp(f, tf) != 0 || h[0] != th[0] ||
                    std::strcmp(c, tc) != 0 || std::strcmp(i, ti) != 0) {
                    Wrong(counts, "identity: serial " + std::to_string(sn));
                    return false;
                }
                return true;
            }
            default: {
                int ld = -1;
                Vontrel_ReadLD(&status, handle_, &ld);
                if (status != FT_OK) {
                    ++counts.failed;
                    return false;
                }
                ++counts.ok;
                if (ld != vsim_locked(unit_)) {
                    Wrong(counts, "lock detect " + std::to_string(ld));
                    return false;
                }
                return true;
            }
        }
    }

    int unit_ = 0, twin_ = 0;
    void *handle_ = nullptr;
    void *twin_handle_ = nullptr;
    bool ok_ = false;
    std::uint8_t settings_[VSIM_MEMORY_SIZE] = {};
};

}  // namespace stall_oracle

#endif
