// The write-out encoder: worked examples to the byte, divider and band
// bounds, attenuation limits, and the mode, switch and flag patterns.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "synth/writeout.h"

namespace vontrel {
namespace {

using Words = std::array<std::uint32_t, kRegisterCount>;

Words AsWords(const RegisterImage &image)
{
    Words words{};
    for (int r = 0; r < kRegisterCount; ++r) {
        words[r] = WordValue(image[r]);
    }
    return words;
}

// trimA 10, trimB 20, 1000 MHz, attenuation 10, stored 5, flagA 1, the rest 0.
WriteOutVector Base()
{
    return {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
}

TEST(SynthWriteOut, WorkedExamples)
{
    const struct {
        WriteOutVector values;
        TableReads tables;  // a and b as read only when autoTrim is set; c unused outside mode 3
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
        SCOPED_TRACE(c.values[wo::kFreqMHz]);
        const WriteOutPlan plan = PlanWriteOut(c.values);
        EXPECT_EQ(plan.trim_a_byte, 10);
        EXPECT_EQ(plan.trim_b_byte, 20);
        EXPECT_EQ(plan.stored_setting_byte, 5);
        EXPECT_EQ(plan.k, c.k);
        EXPECT_EQ(plan.reads_trim_tables, c.reads_trims);
        EXPECT_EQ(AsWords(EncodeRegisters(c.values, c.tables)), c.words);
    }
}

TEST(SynthWriteOut, DividerDoublerAndBandBounds)
{
    const struct {
        double f;
        std::uint32_t s;
        std::uint8_t d;
        std::uint16_t int_part;
        bool fractional;
        std::uint32_t band;
    } cases[] = {
        {6000, 0, 1, 250, false, 3},    {5000, 0, 1, 250, false, 3},
        {0, 3, 0, 240, false, 0},       {-7, 3, 0, 240, false, 0},
        {299, 3, 0, 240, false, 0},     {2400, 0, 0, 240, false, 0},
        {2399.99, 1, 1, 239, true, 3},  {1200, 1, 0, 240, false, 0},
        {600, 2, 0, 240, false, 0},     {599.99, 3, 1, 239, true, 3},
        {1400, 1, 1, 140, false, 0},    {700, 2, 1, 140, false, 0},
        {350, 3, 1, 140, false, 0},     {1399.99, 1, 0, 279, true, 0},
        {3100, 0, 1, 155, false, 1},    {3099.99, 0, 1, 154, true, 0},
        {3900, 0, 1, 195, false, 2},    {3899.99, 0, 1, 194, true, 1},
        {4625, 0, 1, 231, true, 3},     {4624.99, 0, 1, 231, true, 2},
        {2455, 0, 0, 245, true, 0},     {2400.01, 0, 0, 240, false, 0},  // offset just under 10 kHz
        {2400.011, 0, 0, 240, true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.f);
        const DividerSettings div = ComputeDividers(c.f);
        EXPECT_EQ(div.s, c.s);
        EXPECT_EQ(div.d, c.d);
        EXPECT_EQ(div.r, 1);
        EXPECT_EQ(div.int_part, c.int_part);
        EXPECT_EQ(div.fractional, c.fractional);
        EXPECT_EQ(div.band, c.band);
        EXPECT_EQ(div.oscillator, std::ldexp(div.f, static_cast<int>(div.s)));
    }
    EXPECT_EQ(ComputeDividers(2455).frac_part, 1U << 24);
    EXPECT_EQ(ComputeDividers(2455).offset_khz, 5000.0);
}

TEST(SynthWriteOut, AttenuationSources)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double mode, level, attenuation;
        int table_c;
        std::uint32_t atten_code;
    } cases[] = {
        {0, 0, 31.75, 0, 127}, {0, 0, 40, 0, 127},    {0, 0, 0.1, 0, 0},
        {0, 0, 64, 0, 0},      {0, 0, 70, 0, 24},     {1, 0, -0.25, 0, 127},  // 255, limited
        {2, 0, nan, 0, 0},     {1.5, 9, 10, 200, 40}, {7, 9, 10, 200, 40},
        {3, 2, 10, 114, 106},  {3, 1, 10, 0, 252},  // mode 3 wraps, no limit
        {3, -40, 0, 200, 104},
    };
    for (const auto &c : cases) {
        WriteOutVector v = Base();
        v[wo::kMode] = c.mode;
        v[wo::kLevel] = c.level;
        v[wo::kAttenuation] = c.attenuation;
        const RegisterImage image = EncodeRegisters(v, {0, 0, c.table_c});
        EXPECT_EQ(GetField(image, field::kAttenCode), c.atten_code)
            << c.mode << " " << c.level << " " << c.attenuation;
    }
}

TEST(SynthWriteOut, ModeSwitchAndFlagPatterns)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Register 0 bits 23..8 for mode, flagA, switchCode, flagB.
    const struct {
        double mode, flag_a, switch_code, flag_b;
        std::uint32_t bits23to8;
    } reg0[] = {
        {0, 1, 0, 0, 0x8840},       {1, 1, 1, 0, 0x48C0},    {2, 1, 2, 0, 0xD080},
        {3, 1, 3, 0, 0x30E0},       {-0.0, 1, 4, 0, 0xA040}, {1.5, 0, 5, 0, 0x00D0},
        {nan, 0.5, 0.5, 1, 0x04C0}, {0, 0, 0, 1, 0x8C50},    {0, 0, 0, 0.999, 0x8850},
    };
    for (const auto &c : reg0) {
        WriteOutVector v = Base();
        v[wo::kMode] = c.mode;
        v[wo::kFlagA] = c.flag_a;
        v[wo::kSwitchCode] = c.switch_code;
        v[wo::kFlagB] = c.flag_b;
        const RegisterImage image = EncodeRegisters(v, {0, 0, 0});
        EXPECT_EQ((WordValue(image[0]) >> 8) & 0xFFFFU, c.bits23to8)
            << c.mode << " " << c.flag_a << " " << c.switch_code << " " << c.flag_b;
        const std::uint32_t not_b = c.flag_b == 1.0 ? 0 : 1;
        EXPECT_EQ(GetField(image, field::kNotFlagBHi), not_b);
        EXPECT_EQ(GetField(image, field::kNotFlagBLo), not_b);
    }
    const struct {
        double flag_c;
        std::uint32_t bit;
    } flag_c[] = {{0, 0}, {0.5, 0}, {1, 1}, {2, 1}, {256, 0}, {-1, 1}, {nan, 0}};
    for (const auto &c : flag_c) {
        WriteOutVector v = Base();
        v[wo::kFlagC] = c.flag_c;
        EXPECT_EQ(GetField(EncodeRegisters(v, {0, 0, 0}), field::kFlagC), c.bit) << c.flag_c;
    }
}

TEST(SynthWriteOut, TrimSourceFollowsAutoTrim)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double auto_trim;
        bool from_tables;
    } cases[] = {{0.0, false}, {-0.0, false}, {2.0, true}, {0.5, true}, {nan, true}};
    for (const auto &c : cases) {
        WriteOutVector v = Base();
        v[wo::kAutoTrim] = c.auto_trim;
        v[wo::kTrimA] = 300.9;  // byte 44
        v[wo::kStoredSetting] = 5.9;
        const WriteOutPlan plan = PlanWriteOut(v);
        EXPECT_EQ(plan.reads_trim_tables, c.from_tables) << c.auto_trim;
        EXPECT_EQ(plan.trim_a_byte, 44);
        EXPECT_EQ(plan.stored_setting_byte, 5);
        const RegisterImage image = EncodeRegisters(v, {201, 202, 0});
        EXPECT_EQ(GetField(image, field::kTrimA), c.from_tables ? 201U : 44U);
        EXPECT_EQ(GetField(image, field::kTrimB), c.from_tables ? 202U : 20U);
    }
}

}  // namespace
}  // namespace vontrel
