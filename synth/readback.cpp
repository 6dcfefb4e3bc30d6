// SPDX-License-Identifier: MIT
#include "synth/readback.h"

namespace vontrel {
DecodedRegisters DecodeRegisters(const RegisterImage &words)
{
    DecodedRegisters regs{};
    regs.atten_code = GetField(words, field::kAttenCode);
    regs.switch_code = GetField(words, field::kSwitchCode);
    regs.flag_b = GetField(words, field::kFlagB);
    regs.mode_code = GetField(words, field::kModeCode);
    regs.not_flag_a = GetField(words, field::kNotFlagA);
    regs.ref_divider = GetField(words, field::kRefDivider);
    regs.ref_doubler = GetField(words, field::kRefDoubler);
    regs.int_part = GetField(words, field::kIntPart);
    regs.frac_part = GetField(words, field::kFracPart);
    regs.flag_c = GetField(words, field::kFlagC);
    regs.out_div = GetField(words, field::kOutDiv);
    regs.trim_b = GetField(words, field::kTrimB);
    regs.trim_a = GetField(words, field::kTrimA);

    const double comparison = ComparisonFrequencyMHz(regs.ref_doubler, regs.ref_divider);
    const double oscillator = OscillatorFrequencyMHz(comparison, regs.int_part, regs.frac_part);
    regs.freq_mhz = OutputFrequencyMHz(oscillator, regs.out_div);
    return regs;
}

double ModeFromCode(std::uint32_t mode_code)
{
    // Mode 0's own pattern (010) is not matched: it falls to 0 with the
    // other unknown patterns.
    static_assert(synth::kModeCodes[1] == 0b110 && synth::kModeCodes[2] == 0b100 &&
                  synth::kModeCodes[3] == 0b111);
    switch (mode_code) {
        case 0b110:
            return 1.0;
        case 0b100:
            return 2.0;
        case 0b111:
            return 3.0;
        default:
            return 0.0;
    }
}

double SwitchFromCode(std::uint32_t switch_code)
{
    static_assert(synth::kSwitchCodes == std::array<std::uint32_t, 5>{17, 9, 26, 6, 20});
    switch (switch_code) {
        case 17:
            return 0.0;
        case 9:
            return 1.0;
        case 26:
            return 2.0;
        case 6:
            return 3.0;
        case 20:
            return 4.0;
        default:
            return kUnknownSwitchCode;
    }
}

ReadBackVector BuildReadBackVector(const DecodedRegisters &regs, const CalibrationEntries &tables,
                                   int stored_setting)
{
    constexpr double kStep = synth::kLevelPerAttenStep;
    const auto atten = static_cast<int>(regs.atten_code);
    ReadBackVector v{};
    v[rb::kTrimA] = regs.trim_a;
    v[rb::kTrimB] = regs.trim_b;
    v[rb::kFreqMHz] = regs.freq_mhz;
    v[rb::kLevelMax] = (kStep * tables.c) - (kStep * tables.d);
    v[rb::kLevel] = kStep * (tables.c - atten);  // negative when atten_code exceeds C
    v[rb::kAttenuation] = kStep * atten;
    v[rb::kMode] = ModeFromCode(regs.mode_code);
    v[rb::kStoredSetting] = stored_setting;
    v[rb::kFlagA] = regs.not_flag_a == 0 ? 1.0 : 0.0;
    v[rb::kAutoTrim] =
        v[rb::kTrimA] == tables.a && v[rb::kTrimB] == tables.b ? synth::kAutoTrimMatched : 0.0;
    v[rb::kSwitchCode] = SwitchFromCode(regs.switch_code);
    v[rb::kFlagB] = regs.flag_b;
    v[rb::kFlagC] = regs.flag_c;
    v[rb::kLevelMin] = kStep * (tables.c - synth::kMaxAttenCode);
    return v;
}

}  // namespace vontrel
