// SPDX-License-Identifier: MIT
// Decoding the synthesizer state: eight register words read back from the
// unit, plus the calibration entries at the decoded frequency and the
// stored setting byte, become the 14-entry read-back status vector. Pure
// arithmetic; Vontrel_ReadStatus does the exchanges.
#ifndef VONTREL_SYNTH_READBACK_H
#define VONTREL_SYNTH_READBACK_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "include/vontrel.h"
#include "link/transact.h"
#include "synth/register_image.h"

namespace vontrel {

// Entries of the read-back status vector, as include/vontrel.h places them.
namespace rb {
enum Entry : std::size_t {
    kTrimA = VONTREL_READ_trimA,                  // trim_a, 0..255
    kTrimB = VONTREL_READ_trimB,                  // trim_b, 0..255
    kFreqMHz = VONTREL_READ_freqMHz,              // as decoded, not clamped
    kLevelMax = VONTREL_READ_levelMax,            // 0.25·C − 0.25·D
    kLevel = VONTREL_READ_level,                  // 0.25·(C − atten_code)
    kAttenuation = VONTREL_READ_attenuation,      // 0.25·atten_code
    kMode = VONTREL_READ_mode,                    // 0..3
    kStoredSetting = VONTREL_READ_storedSetting,  // the byte at address 45
    kFlagA = VONTREL_READ_flagA,                  // 1.0 when not_flag_a is 0
    kAutoTrim = VONTREL_READ_autoTrim,            // 2.0 when both trims equal tables A, B
    kSwitchCode = VONTREL_READ_switchCode,        // 0..4, or -1.0: none of the five
    kFlagB = VONTREL_READ_flagB,
    kFlagC = VONTREL_READ_flagC,
    kLevelMin = VONTREL_READ_levelMin,  // 0.25·(C − 127)
    kEntryCount = VONTREL_READ_STATUS_ENTRIES
};
}  // namespace rb

using ReadBackVector = std::array<double, rb::kEntryCount>;

// Entry 10 for a switch_code that is none of the five known patterns.
inline constexpr double kUnknownSwitchCode = -1.0;

// The fields the read-back uses, and the output frequency they give.
struct DecodedRegisters {
    std::uint32_t atten_code;
    std::uint32_t switch_code;
    std::uint32_t flag_b;
    std::uint32_t mode_code;
    std::uint32_t not_flag_a;
    std::uint32_t ref_divider;
    std::uint32_t ref_doubler;
    std::uint32_t int_part;
    std::uint32_t frac_part;
    std::uint32_t flag_c;
    std::uint32_t out_div;
    std::uint32_t trim_b;
    std::uint32_t trim_a;
    double freq_mhz;  // infinite or NaN when ref_divider is 0
};

// Entries 0..188 of tables A to D at the calibration index of the decoded
// frequency, each 0..255 (0 when its read failed).
struct CalibrationEntries {
    int a;
    int b;
    int c;
    int d;
};

// The register word a read-back response carries in bytes 3..6.
constexpr std::uint32_t WordOfResponse(const Frame &response)
{
    return WordValue({response[3], response[4], response[5], response[6]});
}

DecodedRegisters DecodeRegisters(const RegisterImage &words);

// mode_code 111, 100, 110 give 3, 2, 1; every other pattern gives 0.
double ModeFromCode(std::uint32_t mode_code);

// switch_code 17, 9, 26, 6, 20 give 0..4; any other gives -1.0.
double SwitchFromCode(std::uint32_t switch_code);

ReadBackVector BuildReadBackVector(const DecodedRegisters &regs, const CalibrationEntries &tables,
                                   int stored_setting);

}  // namespace vontrel

#endif
