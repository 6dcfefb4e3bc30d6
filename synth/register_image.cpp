// SPDX-License-Identifier: MIT
#include "synth/register_image.h"

#include <cmath>

namespace vontrel {
namespace {

constexpr std::uint8_t kRecordStart = 0x00;
constexpr std::uint8_t kRecordMarker = 0x23;  // '#'
constexpr std::uint8_t kRecordEnd = 0x24;     // '$'
constexpr std::uint8_t kRecordCodeRegister0 = 0x0B;
constexpr int kRecordWordOffset = 3;  // p0..p3 are bytes 3..6 of a record

constexpr int kByteCount = 4;

using namespace field;  // NOLINT(google-build-using-namespace): the checks below name many fields

constexpr std::uint8_t KeptByBoth(Field a, Field b, int byte)
{
    return static_cast<std::uint8_t>(KeptBitsOfByte(a, byte) & KeptBitsOfByte(b, byte));
}

constexpr std::uint8_t KeptByAll(Field a, Field b, Field c, int byte)
{
    return static_cast<std::uint8_t>(KeptByBoth(a, b, byte) & KeptBitsOfByte(c, byte));
}

// The byte masks the unit's register layout dictates; the field table in the header
// must reproduce every one of them.
static_assert(KeptBitsOfByte(kRefDivider, 1) == 0xFC && KeptBitsOfByte(kRefDivider, 3) == 0x1F);
static_assert(KeptBitsOfByte(kBandSelect, 0) == 0xF3);
static_assert(KeptByBoth(kRefDoubler, kIntPart, 1) == 0x80);
static_assert(KeptBitsOfByte(kIntPart, 3) == 0x1F);
static_assert(KeptBitsOfByte(kFracPart, 0) == 0xC0 && KeptBitsOfByte(kFracPart, 3) == 0x1F);
static_assert(KeptByBoth(kFracOpOn, kFracOpOff, 0) == 0x7E);
static_assert(KeptBitsOfByte(kFracOpCfg, 1) == 0xE3 && FieldBitsOfByte(kFracOpCfg, 1) == 0x1C);
static_assert(KeptBitsOfByte(kFlagC, 1) == 0xFD);
static_assert(KeptBitsOfByte(kNotFlagBHi, 2) == 0xEF);
static_assert(KeptBitsOfByte(kNotFlagBLo, 3) == 0xDF);
static_assert(KeptBitsOfByte(kOutDiv, 0) == 0xFC && KeptBitsOfByte(kOutDivCopy, 0) == 0xF3);
static_assert(KeptBitsOfByte(kTrimB, 1) == 0xE0 && KeptBitsOfByte(kTrimA, 3) == 0x1F);
// Bytes that fields cover whole.
static_assert(KeptBitsOfByte(kAttenCode, 0) == 0x00);
static_assert(KeptByAll(kSwitchCode, kFlagB, kZeroBits17To16, 1) == 0x00);
static_assert(KeptByAll(kModeCode, kNotFlagA, kZeroBits11To8, 2) == 0x00);
static_assert(KeptBitsOfByte(kRefDivider, 2) == 0x00);
static_assert(KeptBitsOfByte(kFracPart, 1) == 0x00 && KeptBitsOfByte(kFracPart, 2) == 0x00);
static_assert(KeptByBoth(kTrimB, kTrimA, 2) == 0x00);
// No written field reaches the register address bits 4..0.
constexpr std::uint32_t kAddressBits = 0x1F;
static_assert(((FieldMask(kRefDivider) | FieldMask(kBandSelect) | FieldMask(kRefDoubler) |
                FieldMask(kIntPart) | FieldMask(kFracPart) | FieldMask(kFracOpOn) |
                FieldMask(kFracOpOff) | FieldMask(kFracOpCfg) | FieldMask(kFlagC) |
                FieldMask(kNotFlagBHi) | FieldMask(kNotFlagBLo) | FieldMask(kOutDivCopy) |
                FieldMask(kOutDiv) | FieldMask(kTrimB) | FieldMask(kTrimA) | FieldMask(kAttenCode) |
                FieldMask(kSwitchCode) | FieldMask(kFlagB) | FieldMask(kModeCode) |
                FieldMask(kNotFlagA)) &
               kAddressBits) == 0);

}  // namespace

void DefaultRegisterRecord(std::uint8_t record[kRegisterRecordSize], int index)
{
    if (index < 0 || index >= kRegisterCount) {
        return;
    }
    const RegisterWordBytes word = WordBytes(kDefaultWords[index]);
    record[0] = kRecordStart;
    record[1] = kRecordMarker;
    record[2] = index == 0 ? kRecordCodeRegister0 : static_cast<std::uint8_t>(index);
    for (int byte = 0; byte < kByteCount; ++byte) {
        record[kRecordWordOffset + byte] = word[byte];
    }
    record[kRegisterRecordSize - 1] = kRecordEnd;
}

RegisterImage DefaultImage()
{
    RegisterImage image{};
    for (int index = 0; index < kRegisterCount; ++index) {
        std::array<std::uint8_t, kRegisterRecordSize> record{};
        DefaultRegisterRecord(record.data(), index);
        RegisterWordBytes word{};
        for (int byte = 0; byte < kByteCount; ++byte) {
            word[byte] = record[kRecordWordOffset + byte];
        }
        image[index] = WordValue(word);
    }
    return image;
}

double ComparisonFrequencyMHz(std::uint32_t ref_doubler, std::uint32_t ref_divider)
{
    return (synth::kReferenceMHz * Pow2(ref_doubler)) / static_cast<double>(ref_divider);
}

double OscillatorFrequencyMHz(double comparison_mhz, std::uint32_t int_part,
                              std::uint32_t frac_part)
{
    const double ratio = static_cast<double>(int_part) + frac_part / kFracModulus;
    return ratio * comparison_mhz;
}

double OutputFrequencyMHz(double oscillator_mhz, std::uint32_t out_div)
{
    return oscillator_mhz / Pow2(out_div);
}

double FractionalOffsetKHz(std::uint32_t ref_doubler, std::uint32_t ref_divider,
                           std::uint32_t out_div, std::uint32_t frac_part)
{
    const double comparison_mhz =
        Pow2(ref_doubler) * (synth::kReferenceMHz / static_cast<double>(ref_divider));
    return comparison_mhz / Pow2(out_div) * frac_part / kFracModulus * synth::kKHzPerMHz;
}

}  // namespace vontrel
