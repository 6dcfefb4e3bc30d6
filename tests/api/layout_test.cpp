// SPDX-License-Identifier: MIT
// The status vector's two layouts: the one place that converts between them.
#include <gtest/gtest.h>

#include <cmath>

#include "include/vontrel.hpp"

namespace {

using vontrel::Mode;
using vontrel::Switch;
using vontrel::layout::ReadBack;
using vontrel::layout::WriteOut;

TEST(Layout, ReadBackEntriesMoveDownPastLevelMax)
{
    // Each read-back entry carries its own index, so the output shows where
    // every entry went.
    ReadBack in{};
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = 100.0 + static_cast<double>(i);
    }
    const WriteOut expected = {100, 101, 102, 104, 105, 106, 107, 108, 109, 110, 111, 112};
    EXPECT_EQ(vontrel::layout::to_write_out(in), expected);

    const int expected_index[] = {0, 1, 2, -1, 3, 4, 5, 6, 7, 8, 9, 10, 11, -1};
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(vontrel::layout::write_out_index(i), expected_index[i]) << "entry " << i;
    }
}

TEST(Layout, DecodeNamesEveryReadBackEntry)
{
    const ReadBack v = {195, 92, 2455.0, 7.5, -2.5, 22.75, 3, 45, 1, 2, 4, 1, 0, -4.25};
    const vontrel::Status s = vontrel::layout::decode(v);
    EXPECT_EQ(s.trim_a, 195);
    EXPECT_EQ(s.trim_b, 92);
    EXPECT_EQ(s.frequency_mhz, 2455.0);
    EXPECT_EQ(s.level_max, 7.5);
    EXPECT_EQ(s.level, -2.5);
    EXPECT_EQ(s.attenuation, 22.75);
    EXPECT_EQ(s.mode, Mode::kMode3);
    EXPECT_EQ(s.stored_setting, 45);
    EXPECT_TRUE(s.flag_a);
    EXPECT_TRUE(s.auto_trim);
    EXPECT_EQ(s.output_switch, Switch::kPosition4);
    EXPECT_TRUE(s.flag_b);
    EXPECT_FALSE(s.flag_c);
    EXPECT_EQ(s.level_min, -4.25);
}

TEST(Layout, EncodeWritesTheTwelveEntryOrder)
{
    vontrel::Settings s;
    s.trim_a = 10;
    s.trim_b = 20;
    s.frequency_mhz = 2455.0;
    s.level = 2.0;
    s.attenuation = 10.0;
    s.mode = Mode::kMode3;
    s.stored_setting = 5;
    s.flag_a = false;
    s.auto_trim = true;
    s.output_switch = Switch::kPosition2;
    s.flag_b = true;
    s.flag_c = true;
    // trimA trimB freq level atten mode stored flagA autoTrim switch flagB flagC
    const WriteOut expected = {10, 20, 2455, 2, 10, 3, 5, 0, 2, 2, 1, 1};
    EXPECT_EQ(vontrel::layout::encode(s), expected);
}

TEST(Layout, CodedEntries)
{
    struct Case {
        double mode_entry;
        double switch_entry;
        double switch_written;
        Mode mode;
        Switch output_switch;
    };
    const Case cases[] = {
        {0.0, 0.0, 0.0, Mode::kMode0, Switch::kPosition0},
        {1.0, 1.0, 1.0, Mode::kMode1, Switch::kPosition1},
        {2.0, 2.0, 2.0, Mode::kMode2, Switch::kPosition2},
        {3.0, 3.0, 3.0, Mode::kMode3, Switch::kPosition3},
        {2.5, 4.0, 4.0, Mode::kMode0, Switch::kPosition4},
        {0.0, -1.0, -1.0, Mode::kMode0, Switch::kUnknown},
        {0.0, 7.0, -1.0, Mode::kMode0, Switch::kUnknown},
        {0.0, double{NAN}, -1.0, Mode::kMode0, Switch::kUnknown},
    };
    for (const Case &c : cases) {
        ReadBack v{};
        v[vontrel::layout::rb::kMode] = c.mode_entry;
        v[vontrel::layout::rb::kSwitchCode] = c.switch_entry;
        const vontrel::Status s = vontrel::layout::decode(v);
        EXPECT_EQ(s.mode, c.mode) << c.mode_entry;
        EXPECT_EQ(s.output_switch, c.output_switch) << c.switch_entry;
        EXPECT_EQ(vontrel::layout::encode(s)[9], c.switch_written) << c.switch_entry;
    }
}

TEST(Layout, OutOfRangeBytesReadAsZero)
{
    for (const double bad : {-1.0, 256.0, double{NAN}, double{INFINITY}}) {
        ReadBack v{};
        v[vontrel::layout::rb::kTrimA] = bad;
        v[vontrel::layout::rb::kStoredSetting] = bad;
        const vontrel::Status s = vontrel::layout::decode(v);
        EXPECT_EQ(s.trim_a, 0) << bad;
        EXPECT_EQ(s.stored_setting, 0) << bad;
    }
}

// A vector as the unit reports it names and un-names to itself, and the
// settings part lands where the write-out expects it.
TEST(Layout, ReportedVectorRoundTrips)
{
    const ReadBack reported = {188, 81, 1400.0, 24.5, 21.0, 5.0, 1, 9, 0, 0, 3, 0, 1, -4.25};
    const vontrel::Status s = vontrel::layout::decode(reported);
    EXPECT_EQ(vontrel::layout::encode_read_back(s), reported);
    EXPECT_EQ(vontrel::layout::encode(s), vontrel::layout::to_write_out(reported));
}

}  // namespace
