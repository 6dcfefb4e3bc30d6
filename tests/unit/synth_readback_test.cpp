// SPDX-License-Identifier: MIT
// The read-back decoder, and the round trip from the write-out encoder
// through it.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "synth/calibration.h"
#include "synth/readback.h"
#include "synth/writeout.h"

namespace vontrel {
namespace {

TEST(SynthReadBack, DefaultImageAndLevels)
{
    const DecodedRegisters regs = DecodeRegisters(DefaultImage());
    EXPECT_EQ(CalibrationIndex(regs.freq_mhz), 28);
    const struct {
        CalibrationEntries tables;  // a, b, c, d
        ReadBackVector expected;
    } cases[] = {
        {{195, 92, 100, 20}, {195, 92, 1000, 20, 2.25, 22.75, 3, 45, 0, 2, 2, 0, 0, -6.75}},
        {{0, 0, 0, 0}, {195, 92, 1000, 0, -22.75, 22.75, 3, 45, 0, 0, 2, 0, 0, -31.75}},
        {{195, 0, 10, 255}, {195, 92, 1000, -61.25, -20.25, 22.75, 3, 45, 0, 0, 2, 0, 0, -29.25}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(BuildReadBackVector(regs, c.tables, 45), c.expected) << c.tables.c;
    }
}

TEST(SynthReadBack, EveryModeAndSwitchPattern)
{
    const double modes[8] = {0, 0, 0, 0, 2, 0, 1, 3};
    for (std::uint32_t code = 0; code < 8; ++code) {
        EXPECT_EQ(ModeFromCode(code), modes[code]) << code;
    }
    // The five known switch patterns come back through the round trip below.
    for (const std::uint32_t code : {0U, 2U, 7U, 16U, 18U, 31U}) {
        EXPECT_EQ(SwitchFromCode(code), kUnknownSwitchCode) << code;
    }
}

// Frequencies over the whole range, with the divider, doubler and band edges
// and their neighbours, decode back within one step of the fractional
// divider; every other setting the read-back reports survives unchanged, and
// the bits no field covers keep their defaults.
TEST(SynthReadBack, RoundTripOverTheRange)
{
    std::vector<double> freqs;
    for (int i = 0; i <= 12000; ++i) {
        freqs.push_back(300.0 + 4700.0 * i / 12000.0);
    }
    for (double edge : {300.0, 350.0, 600.0, 700.0, 775.0, 975.0, 1156.25, 1200.0, 1400.0, 1550.0,
                        1950.0, 2400.0, 2800.0, 3100.0, 3900.0, 4625.0, 5000.0}) {
        freqs.insert(freqs.end(), {edge, std::nextafter(edge, 0.0), std::nextafter(edge, 1e9)});
    }
    constexpr int kTableC = 200;
    int n = 0;
    for (const double f : freqs) {
        ++n;
        const double mode = n % 4;  // mode 3 takes its attenuation from level and table C
        const WriteOutVector in = {double(n % 256),
                                   double(n * 7 % 256),
                                   f,
                                   (kTableC - n % 128) * 0.25,  // a level the unit reaches
                                   (n % 128) * 0.25,
                                   mode,
                                   0,
                                   double(n % 2),
                                   0,
                                   double(n % 5),
                                   double(n / 2 % 2),
                                   double(n / 3 % 2)};
        const RegisterImage image = EncodeRegisters(in, {0, 0, kTableC});
        for (int r = 0; r < kRegisterCount; ++r) {
            const std::uint32_t fixed = r == 5 || r == 7 ? 0xFFFFFFFFU : r == 0 ? 0xFFU : 0x1FU;
            ASSERT_EQ(image[r] & fixed, kDefaultWords[r] & fixed) << f << " reg " << r;
        }
        const DecodedRegisters regs = DecodeRegisters(image);
        const double resolution = 10.0 * std::pow(2.0, regs.ref_doubler) / std::pow(2.0, 25.0) /
                                  std::pow(2.0, regs.out_div);
        ASSERT_LE(std::fabs(regs.freq_mhz - std::fmin(std::fmax(f, 300.0), 5000.0)), resolution)
            << f;
        const ReadBackVector out = BuildReadBackVector(regs, {0, 0, kTableC, 0}, 0);
        const std::size_t same[][2] = {{wo::kTrimA, rb::kTrimA},
                                       {wo::kTrimB, rb::kTrimB},
                                       {wo::kAttenuation, rb::kAttenuation},
                                       {wo::kMode, rb::kMode},
                                       {wo::kFlagA, rb::kFlagA},
                                       {wo::kSwitchCode, rb::kSwitchCode},
                                       {wo::kFlagB, rb::kFlagB},
                                       {wo::kFlagC, rb::kFlagC}};
        for (const auto &[w, r] : same) {
            if (mode == 3 && w == wo::kAttenuation) {
                ASSERT_EQ(out[rb::kLevel], in[wo::kLevel]) << f;
            } else {
                ASSERT_EQ(out[r], in[w]) << f << " entry " << r;
            }
        }
    }
    EXPECT_GE(freqs.size(), 10000U);
}

}  // namespace
}  // namespace vontrel
