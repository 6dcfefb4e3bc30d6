// The read-back decoder, and the round trip from the write-out encoder
// through it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "synth/calibration.h"
#include "synth/readback.h"
#include "synth/writeout.h"

namespace vontrel {
namespace {

TEST(SynthReadBack, DefaultImage)
{
    const DecodedRegisters regs = DecodeRegisters(DefaultImage());
    EXPECT_EQ(regs.freq_mhz, 1000.0);
    EXPECT_EQ(CalibrationIndex(regs.freq_mhz), 28);
    const ReadBackVector v = BuildReadBackVector(regs, {195, 92, 100, 20}, 45);
    const ReadBackVector expected = {195, 92, 1000, 20, 2.25, 22.75, 3, 45, 0, 2, 2, 0, 0, -6.75};
    EXPECT_EQ(v, expected);
}

TEST(SynthReadBack, TablesAndLevels)
{
    const struct {
        CalibrationEntries tables;
        std::uint32_t atten_code;
        double level_max, level, level_min, auto_trim;
    } cases[] = {
        {{195, 92, 10, 0}, 40, 2.5, -7.5, -29.25, 2.0},
        {{0, 0, 0, 0}, 91, 0, -22.75, -31.75, 0.0},  // every table read failed
        {{195, 0, 255, 255}, 0, 0, 63.75, 32, 0.0},  // only trim A matches
        {{0, 92, 0, 255}, 255, -63.75, -63.75, -31.75, 0.0},
    };
    for (const auto &c : cases) {
        DecodedRegisters regs = DecodeRegisters(DefaultImage());
        regs.atten_code = c.atten_code;
        const ReadBackVector v = BuildReadBackVector(regs, c.tables, 0);
        EXPECT_EQ(v[rb::kLevelMax], c.level_max);
        EXPECT_EQ(v[rb::kLevel], c.level);
        EXPECT_EQ(v[rb::kLevelMin], c.level_min);
        EXPECT_EQ(v[rb::kAutoTrim], c.auto_trim);
    }
}

TEST(SynthReadBack, EveryModeAndSwitchPattern)
{
    const double modes[8] = {0, 0, 0, 0, 2, 0, 1, 3};
    for (std::uint32_t code = 0; code < 8; ++code) {
        EXPECT_EQ(ModeFromCode(code), modes[code]) << code;
    }
    for (std::uint32_t code = 0; code < 32; ++code) {
        const double expected = code == 17   ? 0
                                : code == 9  ? 1
                                : code == 26 ? 2
                                : code == 6  ? 3
                                : code == 20 ? 4
                                             : kUnknownSwitchCode;
        EXPECT_EQ(SwitchFromCode(code), expected) << code;
    }
}

// Slots whose read-back failed stay zero: a divider of 0 gives NaN (nothing
// else set) or infinity, indexed at 0 and 188.
TEST(SynthReadBack, ZeroSlotsAndResponseBytes)
{
    std::array<Frame, kRegisterCount> responses{};
    DecodedRegisters regs = DecodeRegisters(WordsFromResponses(responses));
    EXPECT_TRUE(std::isnan(regs.freq_mhz));
    EXPECT_EQ(CalibrationIndex(regs.freq_mhz), 0);
    const ReadBackVector v = BuildReadBackVector(regs, {0, 0, 0, 0}, 0);
    EXPECT_EQ(v[rb::kSwitchCode], kUnknownSwitchCode);
    EXPECT_EQ(v[rb::kFlagA], 1.0);
    EXPECT_EQ(v[rb::kAutoTrim], 2.0);  // zero trims equal zero table entries

    responses[2] = {0xEE, 0xEE, 0xEE, 0x98, 0xA0, 0x19, 0x0A, 0xEE};  // N = 200, R still 0
    regs = DecodeRegisters(WordsFromResponses(responses));
    EXPECT_EQ(regs.int_part, 200U);
    EXPECT_EQ(regs.freq_mhz, std::numeric_limits<double>::infinity());
    EXPECT_EQ(CalibrationIndex(regs.freq_mhz), kMaxCalibrationIndex);
}

// Frequencies over the whole range, the divider, doubler and band edges and
// their neighbours among them, encode and decode back within one step of
// the fractional divider; every other reported setting survives unchanged.
TEST(SynthReadBack, RoundTripOverTheRange)
{
    std::vector<double> freqs;
    for (int i = 0; i <= 12000; ++i) {
        freqs.push_back(300.0 + 4700.0 * i / 12000.0);
    }
    for (double edge : {300.0, 600.0, 700.0, 1200.0, 1400.0, 2400.0, 2800.0, 3100.0, 3900.0, 4625.0,
                        5000.0, 350.0, 775.0, 1550.0, 975.0, 1950.0, 1156.25}) {
        freqs.insert(freqs.end(), {edge, std::nextafter(edge, 0.0), std::nextafter(edge, 1e9)});
    }
    constexpr int kTableC = 200;
    int step = 0;
    for (const double f : freqs) {
        ++step;
        const double mode = step % 4;  // mode 3 takes its attenuation from level and table C
        const WriteOutVector in = {double(step % 256),
                                   double(step * 7 % 256),
                                   f,
                                   (step % 200) * 0.25,
                                   (step % 128) * 0.25,
                                   mode,
                                   0,
                                   double(step % 2),
                                   0,
                                   double(step % 5),
                                   double(step / 2 % 2),
                                   double(step / 3 % 2)};
        const RegisterImage image = EncodeRegisters(in, {0, 0, kTableC});
        for (int r = 0; r < kRegisterCount; ++r) {
            const std::uint32_t fixed = r == 5 || r == 7 ? 0xFFFFFFFFU
                                        : r == 0         ? 0xFFU
                                                         : 0x1FU;  // bits never written
            ASSERT_EQ(WordValue(image[r]) & fixed, kDefaultWords[r] & fixed) << f << " reg " << r;
        }
        const DecodedRegisters regs = DecodeRegisters(image);
        const double clamped = std::fmin(std::fmax(f, 300.0), 5000.0);
        const double resolution = 10.0 * std::pow(2.0, regs.ref_doubler) / std::pow(2.0, 25.0) /
                                  std::pow(2.0, regs.out_div);
        ASSERT_LE(std::fabs(regs.freq_mhz - clamped), resolution) << f;
        ASSERT_EQ(CalibrationIndex(regs.freq_mhz), CalibrationIndex(clamped)) << f;

        const ReadBackVector out = BuildReadBackVector(regs, {0, 0, kTableC, 0}, 0);
        const std::size_t same[][2] = {
            {wo::kTrimA, rb::kTrimA},
            {wo::kTrimB, rb::kTrimB},
            {mode == 3 ? wo::kLevel : wo::kAttenuation, mode == 3 ? rb::kLevel : rb::kAttenuation},
            {wo::kMode, rb::kMode},
            {wo::kFlagA, rb::kFlagA},
            {wo::kSwitchCode, rb::kSwitchCode},
            {wo::kFlagB, rb::kFlagB},
            {wo::kFlagC, rb::kFlagC}};
        for (const auto &pair : same) {
            ASSERT_EQ(out[pair[1]], in[pair[0]]) << f << " entry " << pair[1];
        }
    }
    EXPECT_GE(freqs.size(), 10000U);
}

}  // namespace
}  // namespace vontrel
