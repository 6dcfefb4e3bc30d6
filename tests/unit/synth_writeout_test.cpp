// SPDX-License-Identifier: MIT
// The write-out encoder: worked examples to the byte, divider and band
// bounds, and how single entries reach their fields.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "synth/writeout.h"

namespace vontrel {
namespace {

using Words = std::array<std::uint32_t, kRegisterCount>;

TEST(SynthWriteOut, WorkedExamples)
{
    const struct {
        WriteOutVector values;
        TableReads tables;  // 0x77: read but must not be used
        int k;
        bool reads_trims;
        Words words;
    } cases[] = {
        {{10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0},
         {0, 0, 0x77},
         28,
         false,
         {0x28884000, 0x60100029, 0x98A0190A, 0x0000000B, 0x4B00B02C, 0x0D03A28D, 0x9A82814E,
          0xD041100F}},
        {{10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1},
         {186, 136, 114},
         86,
         true,
         {0x6AD4F000, 0x60100029, 0x90801EAA, 0x2000000B, 0xCA1EA00C, 0x0D03A28D, 0x9091174E,
          0xD041100F}},
        {{10, 20, 312.5, 0, 40, 1, 5, 1, 1, 4, 0, 0},
         {64, 65, 0x77},
         1,
         true,
         {0x7FA0C000, 0x60100029, 0x90801F4A, 0x0000000B, 0x4B00B02C, 0x0D03A28D, 0x9F88280E,
          0xD041100F}},
        {{10, 20, 1400, 0, 0, 2, 5, 1, 0, 3, 0, 0},
         {0, 0, 0x77},
         44,
         false,
         {0x00308000, 0x60100029, 0x90A0118A, 0x0000000B, 0x4B00B02C, 0x0D03A28D, 0x9582814E,
          0xD041100F}},
    };
    for (const auto &c : cases) {
        const WriteOutPlan plan = PlanWriteOut(c.values);
        EXPECT_EQ(std::make_tuple(plan.trim_a_byte, plan.trim_b_byte, plan.stored_setting_byte),
                  std::make_tuple(10, 20, 5));
        EXPECT_EQ(plan.k, c.k);
        EXPECT_EQ(plan.reads_trim_tables, c.reads_trims);
        const RegisterImage image = EncodeRegisters(c.values, c.tables);
        for (int r = 0; r < kRegisterCount; ++r) {
            EXPECT_EQ(image[r], c.words[r]) << c.values[wo::kFreqMHz] << " reg " << r;
        }
    }
}

TEST(SynthWriteOut, DividerDoublerAndBandBounds)
{
    const struct {
        double f;
        std::uint32_t s, d, int_part;
        bool fractional;
        std::uint32_t band;
    } cases[] = {
        {6000, 0, 1, 250, false, 3},    {299, 3, 0, 240, false, 0},
        {2400, 0, 0, 240, false, 0},    {2399.99, 1, 1, 239, true, 3},
        {1200, 1, 0, 240, false, 0},    {600, 2, 0, 240, false, 0},
        {599.99, 3, 1, 239, true, 3},   {1400, 1, 1, 140, false, 0},
        {350, 3, 1, 140, false, 0},     {1399.99, 1, 0, 279, true, 0},
        {3100, 0, 1, 155, false, 1},    {3099.99, 0, 1, 154, true, 0},
        {3900, 0, 1, 195, false, 2},    {3899.99, 0, 1, 194, true, 1},
        {4625, 0, 1, 231, true, 3},     {4624.99, 0, 1, 231, true, 2},
        {2400.01, 0, 0, 240, false, 0},  // offset just under 10 kHz
        {2400.011, 0, 0, 240, true, 0},
    };
    for (const auto &c : cases) {
        const DividerSettings div = ComputeDividers(c.f);
        EXPECT_EQ(std::make_tuple(div.s, div.d, div.r, div.int_part, div.fractional, div.band),
                  std::make_tuple(c.s, c.d, 1U, c.int_part, c.fractional, c.band))
            << c.f;
    }
    EXPECT_EQ(ComputeDividers(2455).frac_part, 1U << 24);
}

// Entries changed from a plain 1000 MHz vector, and the field they reach.
TEST(SynthWriteOut, EntriesToFields)
{
    const double nan = std::nan("");
    using Changes = std::vector<std::pair<std::size_t, double>>;
    const struct {
        Changes changes;
        TableReads tables;
        Field f;
        std::uint32_t value;
    } cases[] = {
        {{{wo::kAttenuation, 40}}, {}, field::kAttenCode, 127},  // limited
        {{{wo::kAttenuation, 0.1}}, {}, field::kAttenCode, 0},
        {{{wo::kAttenuation, 64}}, {}, field::kAttenCode, 0},  // low byte before the limit
        {{{wo::kAttenuation, 70}}, {}, field::kAttenCode, 24},
        {{{wo::kMode, 1.5}, {wo::kAttenuation, 10}}, {0, 0, 200}, field::kAttenCode, 40},
        // Levels out of reach are held at the ends of the attenuator, not wrapped.
        {{{wo::kMode, 3}, {wo::kLevel, 1}}, {0, 0, 0}, field::kAttenCode, 0},
        {{{wo::kMode, 3}, {wo::kLevel, -40}}, {0, 0, 200}, field::kAttenCode, 127},
        {{{wo::kMode, 3}, {wo::kLevel, 18.3}}, {0, 0, 200}, field::kAttenCode, 126},
        {{{wo::kMode, 3}, {wo::kLevel, -1e300}}, {0, 0, 200}, field::kAttenCode, 127},
        {{{wo::kMode, 3}, {wo::kLevel, NAN}}, {0, 0, 200}, field::kAttenCode, 0},
        {{{wo::kMode, -0.0}}, {}, field::kModeCode, 0b010},
        {{{wo::kMode, 7}}, {}, field::kModeCode, 0b110},
        {{{wo::kMode, nan}}, {}, field::kModeCode, 0b110},
        {{{wo::kFlagA, 0.5}}, {}, field::kNotFlagA, 0},
        {{{wo::kSwitchCode, 5}}, {}, field::kSwitchCode, 0},
        {{{wo::kSwitchCode, 0.5}}, {}, field::kSwitchCode, 0},
        {{{wo::kFlagB, 1}}, {}, field::kNotFlagBHi, 0},
        {{{wo::kFlagB, 0.999}}, {}, field::kNotFlagBLo, 1},
        {{{wo::kFlagC, 0.5}}, {}, field::kFlagC, 0},
        {{{wo::kFlagC, 256}}, {}, field::kFlagC, 0},
        {{{wo::kTrimA, 300.9}}, {201, 202, 0}, field::kTrimA, 44},
        {{{wo::kAutoTrim, nan}}, {201, 202, 0}, field::kTrimB, 202},
        {{{wo::kAutoTrim, -0.0}}, {201, 202, 0}, field::kTrimB, 20},
    };
    for (const auto &c : cases) {
        WriteOutVector v = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
        for (const auto &[entry, value] : c.changes) {
            v[entry] = value;
        }
        EXPECT_EQ(GetField(EncodeRegisters(v, c.tables), c.f), c.value)
            << "entry " << c.changes[0].first << " = " << c.changes[0].second;
    }
}

}  // namespace
}  // namespace vontrel
