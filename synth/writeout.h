// SPDX-License-Identifier: MIT
// Programming the synthesizer: the 12-entry write-out status vector and the
// calibration entries it asks for become the eight register words. Pure
// arithmetic; Vontrel_WriteStatus does the exchanges.
#ifndef VONTREL_SYNTH_WRITEOUT_H
#define VONTREL_SYNTH_WRITEOUT_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "include/vontrel.h"
#include "synth/register_image.h"

namespace vontrel {

// Entries of the write-out status vector, as include/vontrel.h places them
// (read-back entries 4..12 are entries 3..11 here; levelMax and levelMin
// have no place).
namespace wo {
enum Entry : std::size_t {
    kTrimA = VONTREL_WRITE_trimA,                  // stored at 83; trim_a when autoTrim is 0.0
    kTrimB = VONTREL_WRITE_trimB,                  // stored at 84; trim_b when autoTrim is 0.0
    kFreqMHz = VONTREL_WRITE_freqMHz,              // clamped to 300..5000
    kLevel = VONTREL_WRITE_level,                  // atten_code source in mode 3
    kAttenuation = VONTREL_WRITE_attenuation,      // atten_code source in every other mode
    kMode = VONTREL_WRITE_mode,                    // 0..3; else written as mode_code 110
    kStoredSetting = VONTREL_WRITE_storedSetting,  // stored at address 45
    kFlagA = VONTREL_WRITE_flagA,
    kAutoTrim = VONTREL_WRITE_autoTrim,      // nonzero: trims from tables A and B
    kSwitchCode = VONTREL_WRITE_switchCode,  // 0..4; else written as switch_code 0
    kFlagB = VONTREL_WRITE_flagB,
    kFlagC = VONTREL_WRITE_flagC,
    kEntryCount = VONTREL_WRITE_STATUS_ENTRIES
};
}  // namespace wo

using WriteOutVector = std::array<double, wo::kEntryCount>;

// What a write-out stores in device memory and which table entries it reads.
struct WriteOutPlan {
    std::uint8_t trim_a_byte;          // for address 83
    std::uint8_t trim_b_byte;          // for address 84
    std::uint8_t stored_setting_byte;  // for address 45
    int k;                             // calibration index of the requested frequency
    bool reads_trim_tables;            // tables A and B are read (table C always is)
};

WriteOutPlan PlanWriteOut(const WriteOutVector &values);

// Whether the vector can be programmed at all: false for a NaN frequency,
// and for a NaN level in mode 3 (in the other modes the level is not used).
// Vontrel_WriteStatus refuses such a vector without any exchange.
bool IsProgrammable(const WriteOutVector &values);

// The entries read from the calibration tables at index k. `a` and `b` are
// used only when autoTrim is nonzero (pass 0 otherwise); `c` only in mode 3.
struct TableReads {
    int a;
    int b;
    int c;
};

// The synthesizer settings for a requested frequency, in the order they are
// worked out.
struct DividerSettings {
    double f;           // requested frequency, clamped to 300..5000
    std::uint32_t s;    // output divider exponent, 0..3
    double oscillator;  // F = 2^s · f, 2400..5000
    std::uint8_t d;     // reference doubling exponent, 0 or 1
    std::uint16_t r;    // reference divider
    double n;           // division ratio F / (10 · 2^d / r)
    std::uint16_t int_part;
    std::uint32_t frac_part;  // units of 2^-25
    double offset_khz;        // what frac_part contributes to the output, kHz
    bool fractional;          // offset above 10 kHz
    std::uint32_t band;       // oscillator band 0..3
};

// A NaN frequency is not clamped and yields defined but meaningless
// settings; Vontrel_WriteStatus refuses it before getting here (see
// IsProgrammable).
DividerSettings ComputeDividers(double freq_mhz);

// The eight words to send, built on the default image.
RegisterImage EncodeRegisters(const WriteOutVector &values, const TableReads &tables);

}  // namespace vontrel

#endif
