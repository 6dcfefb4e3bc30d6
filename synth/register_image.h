// SPDX-License-Identifier: MIT
// The synthesizer's eight register words: the default image every
// write-out starts from, the layout of every field, the relation between
// the divider fields and the output frequency, and the constants of the
// frequency and level arithmetic.
//
// A register word is four bytes p0..p3, p0 the most significant (bits
// 31..24), exactly as a register write sends them and a read-back returns
// them. Bit numbers below are on the 32-bit value W = p0·2^24 + ... + p3.
#ifndef VONTREL_SYNTH_REGISTER_IMAGE_H
#define VONTREL_SYNTH_REGISTER_IMAGE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "include/vontrel_limits.h"
#include "link/transact.h"
#include "protocol/unit_protocol.h"

namespace vontrel {

inline constexpr int kRegisterCount = 8;
inline constexpr int kRegisterRecordSize = 8;

// Words 0..7 as their 32-bit values W. A frame carries each as its bytes
// p0..p3 (WordBytes, WordValue).
using RegisterImage = std::array<std::uint32_t, kRegisterCount>;

// W from p0..p3, and back.
constexpr std::uint32_t WordValue(const RegisterWordBytes &word)
{
    return std::uint32_t{word[0]} << 24 | std::uint32_t{word[1]} << 16 |
           std::uint32_t{word[2]} << 8 | word[3];
}

constexpr RegisterWordBytes WordBytes(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// Fills `record` with the default record of register `index`:
//   00 23 code p0 p1 p2 p3 24
// where code is 0x0B for register 0 and the index for registers 1..7, and
// p0..p3 are the default word. An index outside 0..7 leaves the record as
// it was. Only bytes 3..6 are ever used.
void DefaultRegisterRecord(std::uint8_t record[kRegisterRecordSize], int index);

// Bytes 3..6 of the eight default records, as words: programs 1000 MHz.
// The same words as kDefaultWords, which the write-out starts from.
RegisterImage DefaultImage();

// The default words as 32-bit values. Registers 5 and 7 are always sent
// like this, and no write changes bits 4..0 of any word (the register
// address: 0 for register 0, 0x08 + index for the others).
inline constexpr std::array<std::uint32_t, kRegisterCount> kDefaultWords = {
    0x5BD0F000, 0x60100029, 0x98A0190A, 0x0000000B, 0x4B00A00C, 0x0D03A28D, 0x9A8B986E, 0xD041100F,
};

// A field: `width` consecutive bits of register `reg` starting at bit `lsb`.
struct Field {
    int reg;
    int lsb;
    int width;
};

constexpr std::uint32_t FieldMask(Field f)
{
    const std::uint32_t ones = f.width >= 32 ? 0xFFFFFFFFU : (1U << f.width) - 1U;
    return ones << f.lsb;
}

// The bits of byte p`byte` (0 = p0, most significant) that the field covers.
constexpr std::uint8_t FieldBitsOfByte(Field f, int byte)
{
    return static_cast<std::uint8_t>(FieldMask(f) >> (24 - 8 * byte));
}

// The bits of byte p`byte` that a write of the field keeps.
constexpr std::uint8_t KeptBitsOfByte(Field f, int byte)
{
    return static_cast<std::uint8_t>(~FieldBitsOfByte(f, byte));
}

namespace field {
// Register 0: the control word.
inline constexpr Field kAttenCode{0, 24, 8};   // attenuation, 0.25 level units per step
inline constexpr Field kSwitchCode{0, 19, 5};  // switch pattern
inline constexpr Field kFlagB{0, 18, 1};
inline constexpr Field kZeroBits17To16{0, 16, 2};  // always 0
inline constexpr Field kModeCode{0, 13, 3};        // mode pattern
inline constexpr Field kNotFlagA{0, 12, 1};
inline constexpr Field kZeroBits11To8{0, 8, 4};  // always 0
// Bits 7..0 read back as lock detect (reply::kLockByte).
// Registers 1 to 4: the division ratio and fractional operation.
inline constexpr Field kRefDivider{1, 5, 13};  // reference divider R
inline constexpr Field kBandSelect{2, 26, 2};  // oscillator band 0..3
inline constexpr Field kRefDoubler{2, 21, 2};  // reference multiplied by 2^D
inline constexpr Field kIntPart{2, 5, 16};     // integer part N of the ratio
inline constexpr Field kFracPart{3, 5, 25};    // fractional part, units of 2^-25
inline constexpr Field kFracOpOn{4, 31, 1};
inline constexpr Field kFracOpOff{4, 24, 1};
inline constexpr Field kFracOpCfg{4, 18, 3};
inline constexpr Field kFlagC{4, 17, 1};
inline constexpr Field kNotFlagBHi{4, 12, 1};
inline constexpr Field kNotFlagBLo{4, 5, 1};
// Register 6: output divider and trims.
inline constexpr Field kOutDivCopy{6, 26, 2};  // second copy of kOutDiv
inline constexpr Field kOutDiv{6, 24, 2};      // oscillator divided by 2^O
inline constexpr Field kTrimB{6, 13, 8};
inline constexpr Field kTrimA{6, 5, 8};
}  // namespace field

// Writes `value` into the field: each byte the field touches keeps its
// other bits (the byte masks of the layout, KeptBitsOfByte) and takes the
// field's bits of the value. Done on the whole word at once, which is the
// same thing. Bits of the value above the field's width are dropped.
constexpr void SetField(RegisterImage &image, Field f, std::uint32_t value)
{
    std::uint32_t &word = image[static_cast<std::size_t>(f.reg)];
    word = (word & ~FieldMask(f)) | ((value << f.lsb) & FieldMask(f));
}

// The field's bits as an unsigned number.
constexpr std::uint32_t GetField(const RegisterImage &image, Field f)
{
    return (image[static_cast<std::size_t>(f.reg)] & FieldMask(f)) >> f.lsb;
}

// Constants of the frequency and level arithmetic.
namespace synth {
inline constexpr double kReferenceMHz = 10.0;
inline constexpr double kPowerBase = 2.0;                  // base of the powers of two (Pow2)
inline constexpr std::uint32_t kFracModulusExponent = 25;  // frac_part counts 2^-25
inline constexpr double kMinFrequencyMHz =
    VONTREL_FREQ_MIN_MHZ;  // lower clamp, origin of the index
inline constexpr double kMaxFrequencyMHz = VONTREL_FREQ_MAX_MHZ;  // upper clamp
inline constexpr double kCalibrationStepMHz = 25.0;
// Round half up: a fraction r moves up when r * kHalfUpFactor >= kHalfUpThreshold.
inline constexpr double kHalfUpFactor = 10.0;
inline constexpr double kHalfUpThreshold = 5.0;
inline constexpr double kRoundUpIncrement = 1.0;
inline constexpr double kLevelPerAttenStep = VONTREL_LEVEL_STEP;
inline constexpr double kAttenStepsPerLevel = 4.0;
inline constexpr std::uint8_t kMaxAttenCode = VONTREL_ATTEN_CODE_MAX;
// Output frequencies from which the output divider exponent is 0, 1, 2;
// below the last it is 3. The first is also the oscillator's lower edge.
inline constexpr double kOutDiv0FromMHz = 2400.0;
inline constexpr double kOutDiv1FromMHz = 1200.0;
inline constexpr double kOutDiv2FromMHz = 600.0;
inline constexpr int kMaxOutDiv = 3;
inline constexpr double kDoublerFromMHz = 2800.0;  // oscillator frequency
inline constexpr double kComparisonLimitMHz = 20.0;
// Upper limits (inclusive) of the oscillator's 25 MHz step number for bands 0..3.
inline constexpr std::array<double, 4> kBandStepLimits = {111.0, 143.0, 172.0, 189.0};
inline constexpr double kKHzPerMHz = 1000.0;
inline constexpr double kFracModeAboveKHz = 10.0;
inline constexpr double kAutoTrimMatched = 2.0;  // read-back value of autoTrim

// mode_code per mode 0..3 (bit 15 = mode != 0, bit 14 = mode != 2,
// bit 13 = mode == 3). Read back, every pattern but 110, 100 and 111 is mode 0.
inline constexpr std::array<std::uint32_t, 4> kModeCodes = {0b010, 0b110, 0b100, 0b111};
inline constexpr int kModeCount = VONTREL_MODE_MAX + 1;
static_assert(kModeCodes.size() == kModeCount);
// switch_code per switchCode 0..4; any other switchCode is written as 0.
inline constexpr std::array<std::uint32_t, 5> kSwitchCodes = {17, 9, 26, 6, 20};
inline constexpr int kSwitchCount = VONTREL_SWITCH_MAX + 1;
static_assert(kSwitchCodes.size() == kSwitchCount);
}  // namespace synth

// 2^exponent for a whole exponent below 64: exactly the value the
// floating-point power function gives for base 2.0, without calling it.
constexpr double Pow2(std::uint32_t exponent)
{
    return static_cast<double>(std::uint64_t{1} << exponent);
}

// The fractional modulus 2^25.
inline constexpr double kFracModulus = Pow2(synth::kFracModulusExponent);

// The frequency relation, in MHz, each step in the order the read-back
// evaluates it:
//   comparison = (10 · 2^ref_doubler) / ref_divider
//   oscillator = (int_part + frac_part / 2^25) · comparison
//   output     = oscillator / 2^out_div
// A ref_divider of 0 gives an infinite comparison frequency, and with it an
// infinite or NaN output.
double ComparisonFrequencyMHz(std::uint32_t ref_doubler, std::uint32_t ref_divider);
double OscillatorFrequencyMHz(double comparison_mhz, std::uint32_t int_part,
                              std::uint32_t frac_part);
double OutputFrequencyMHz(double oscillator_mhz, std::uint32_t out_div);

// The share of the output frequency that frac_part contributes, in kHz,
// evaluated left to right as
//   ((2^ref_doubler · (10 / ref_divider)) / 2^out_div) · frac_part / 2^25 · 1000.
double FractionalOffsetKHz(std::uint32_t ref_doubler, std::uint32_t ref_divider,
                           std::uint32_t out_div, std::uint32_t frac_part);

}  // namespace vontrel

#endif
