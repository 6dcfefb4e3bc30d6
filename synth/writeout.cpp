// SPDX-License-Identifier: MIT
#include "synth/writeout.h"

#include <cmath>

#include "synth/calibration.h"
#include "synth/convert.h"

namespace vontrel {
namespace {

// Mode values the arithmetic tests for. In mode 3 the attenuation comes from
// the level and table C rather than from the attenuation entry.
constexpr double kModeZero = 0.0;
constexpr double kModeTwo = 2.0;
constexpr double kModeLevel = 3.0;
constexpr double kFlagSet = 1.0;    // flagB counts only when exactly 1.0
constexpr double kFlagClear = 0.0;  // flagA and autoTrim count as off only when exactly 0.0

constexpr std::uint32_t kFracOpCfgOn = 0b111;

std::uint32_t Bit(bool set)
{
    return set ? 1U : 0U;
}

std::uint32_t OutputDividerExponent(double f)
{
    if (f >= synth::kOutDiv0FromMHz) {
        return 0;
    }
    if (f >= synth::kOutDiv1FromMHz) {
        return 1;
    }
    if (f >= synth::kOutDiv2FromMHz) {
        return 2;
    }
    return synth::kMaxOutDiv;
}

// The oscillator frequency formed again by doubling f until it reaches the
// oscillator range (at most three times), then its 25 MHz step number
// picks the band. The clamped frequency keeps the step within 84..188.
std::uint32_t Band(double f)
{
    double oscillator = f;
    for (int doublings = 0; doublings < synth::kMaxOutDiv && oscillator < synth::kOutDiv0FromMHz;
         ++doublings) {
        oscillator *= synth::kPowerBase;
    }
    const double step =
        std::trunc((oscillator - synth::kMinFrequencyMHz) / synth::kCalibrationStepMHz);
    std::uint32_t band = 0;
    while (band + 1 < synth::kBandStepLimits.size() && !(step <= synth::kBandStepLimits[band])) {
        ++band;
    }
    return band;
}

std::uint32_t ModeCode(double mode)
{
    return (Bit(mode != kModeZero) << 2) | (Bit(mode != kModeTwo) << 1) | Bit(mode == kModeLevel);
}

std::uint32_t SwitchCode(double switch_code)
{
    for (int code = 0; code < synth::kSwitchCount; ++code) {
        if (switch_code == code) {
            return synth::kSwitchCodes[code];
        }
    }
    return 0;
}

std::uint8_t AttenCode(const WriteOutVector &values, int table_c)
{
    if (values[wo::kMode] == kModeLevel) {
        // The code that gives the requested level at this frequency. A level
        // the unit cannot reach is held at the nearest end of the
        // attenuator's range: left to wrap to its low byte, a level just
        // above the maximum would command almost full attenuation, and one
        // far below the minimum almost none.
        const double code = table_c - synth::kAttenStepsPerLevel * values[wo::kLevel];
        if (code < 0.0) {
            return 0;
        }
        if (code > synth::kMaxAttenCode) {
            return synth::kMaxAttenCode;
        }
        return ToByte(code);
    }
    // The quotient is cut to its low byte before the limit is tested, so 64
    // gives 0 and 70 gives 24.
    const std::uint8_t code = ToByte(values[wo::kAttenuation] / synth::kLevelPerAttenStep);
    return code > synth::kMaxAttenCode ? synth::kMaxAttenCode : code;
}

}  // namespace

bool IsProgrammable(const WriteOutVector &values)
{
    if (std::isnan(values[wo::kFreqMHz])) {
        return false;
    }
    return !(values[wo::kMode] == kModeLevel && std::isnan(values[wo::kLevel]));
}

WriteOutPlan PlanWriteOut(const WriteOutVector &values)
{
    WriteOutPlan plan{};
    plan.trim_a_byte = ToByte(values[wo::kTrimA]);
    plan.trim_b_byte = ToByte(values[wo::kTrimB]);
    plan.stored_setting_byte = ToByte(values[wo::kStoredSetting]);
    plan.k = CalibrationIndex(values[wo::kFreqMHz]);
    plan.reads_trim_tables = values[wo::kAutoTrim] != kFlagClear;
    return plan;
}

DividerSettings ComputeDividers(double freq_mhz)
{
    DividerSettings div{};
    div.f = freq_mhz;
    if (div.f > synth::kMaxFrequencyMHz) {
        div.f = synth::kMaxFrequencyMHz;
    }
    if (div.f < synth::kMinFrequencyMHz) {
        div.f = synth::kMinFrequencyMHz;
    }

    div.s = OutputDividerExponent(div.f);
    const double two_s = Pow2(div.s);
    div.oscillator = two_s * div.f;

    // The doubling exponent is log2(trunc(F / 2800) + 1) in the unit's
    // arithmetic. F lies in 2400..5000 (or is NaN, which gives 0 either
    // way), so the quotient truncates to 0 or 1 and the logarithm is exactly
    // 0 below 2800 MHz and 1 from there on: the comparison gives the same
    // byte without two logarithms.
    div.d = div.oscillator >= synth::kDoublerFromMHz ? 1 : 0;
    const double two_d = Pow2(div.d);

    // The smallest whole divider that keeps the comparison frequency at or
    // below 20 · 2^s MHz.
    const double t = synth::kReferenceMHz / ((synth::kComparisonLimitMHz / two_d) * two_s);
    double r = std::trunc(t);
    if (t - r != 0.0) {
        r += synth::kRoundUpIncrement;
    }
    div.r = ToU16(r);

    div.n = ((div.r * div.oscillator) / synth::kReferenceMHz) / two_d;
    div.int_part = ToU16(div.n);
    div.frac_part = ToUnsigned32((div.n - div.int_part) * kFracModulus);

    div.offset_khz = FractionalOffsetKHz(div.d, div.r, div.s, div.frac_part);
    div.fractional = div.offset_khz > synth::kFracModeAboveKHz;
    div.band = Band(div.f);
    return div;
}

RegisterImage EncodeRegisters(const WriteOutVector &values, const TableReads &tables)
{
    const DividerSettings div = ComputeDividers(values[wo::kFreqMHz]);

    const bool from_tables = values[wo::kAutoTrim] != kFlagClear;
    const std::uint32_t trim_a =
        from_tables ? static_cast<std::uint8_t>(tables.a) : ToByte(values[wo::kTrimA]);
    const std::uint32_t trim_b =
        from_tables ? static_cast<std::uint8_t>(tables.b) : ToByte(values[wo::kTrimB]);
    const bool flag_b = values[wo::kFlagB] == kFlagSet;

    RegisterImage image = kDefaultWords;

    SetField(image, field::kAttenCode, AttenCode(values, tables.c));
    SetField(image, field::kSwitchCode, SwitchCode(values[wo::kSwitchCode]));
    SetField(image, field::kFlagB, Bit(flag_b));
    SetField(image, field::kZeroBits17To16, 0);
    SetField(image, field::kModeCode, ModeCode(values[wo::kMode]));
    SetField(image, field::kNotFlagA, Bit(values[wo::kFlagA] == kFlagClear));
    SetField(image, field::kZeroBits11To8, 0);

    SetField(image, field::kRefDivider, div.r);
    SetField(image, field::kBandSelect, div.band);
    SetField(image, field::kRefDoubler, div.d);
    SetField(image, field::kIntPart, div.int_part);
    SetField(image, field::kFracPart, div.frac_part);

    if (div.fractional) {
        SetField(image, field::kFracOpOn, 1);
        SetField(image, field::kFracOpOff, 0);
        SetField(image, field::kFracOpCfg, kFracOpCfgOn);
    }
    SetField(image, field::kFlagC, Bit(ToByte(values[wo::kFlagC]) != 0));
    SetField(image, field::kNotFlagBHi, Bit(!flag_b));
    SetField(image, field::kNotFlagBLo, Bit(!flag_b));

    SetField(image, field::kOutDivCopy, div.s);
    SetField(image, field::kOutDiv, div.s);
    SetField(image, field::kTrimB, trim_b);
    SetField(image, field::kTrimA, trim_a);
    return image;
}

}  // namespace vontrel
