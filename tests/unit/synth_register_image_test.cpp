// SPDX-License-Identifier: MIT
// Register image layout: default records, field packing and the
// calibration index.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "synth/calibration.h"
#include "synth/register_image.h"

namespace vontrel {
namespace {

TEST(SynthRegisterImage, DefaultRecords)
{
    using Record = std::array<std::uint8_t, kRegisterRecordSize>;
    const Record untouched = {1, 2, 3, 4, 5, 6, 7, 8};
    const struct {
        int index;
        Record expected;
    } cases[] = {{0, {0x00, 0x23, 0x0B, 0x5B, 0xD0, 0xF0, 0x00, 0x24}},
                 {5, {0x00, 0x23, 0x05, 0x0D, 0x03, 0xA2, 0x8D, 0x24}},
                 {-1, untouched},
                 {8, untouched}};
    for (const auto &c : cases) {
        Record record = untouched;
        DefaultRegisterRecord(record.data(), c.index);
        EXPECT_EQ(record, c.expected) << c.index;
    }
    for (int r = 0; r < kRegisterCount; ++r) {
        EXPECT_EQ(DefaultImage()[r], kDefaultWords[r]) << r;
    }
}

// Each write lands on the default image; no other register may change, and
// the field reads back as the value cut to its width.
TEST(SynthRegisterImage, FieldPackingTouchesOnlyItsBits)
{
    const struct {
        Field f;
        std::uint32_t value;
        std::uint32_t word;
    } cases[] = {{field::kIntPart, 0x1234, 0x98A2468A},
                 {field::kRefDivider, 0x1FFF, 0x6013FFE9},
                 {field::kRefDivider, 0x2001, 0x60100029},  // bit 13 dropped
                 {field::kFracPart, (1U << 25) - 1, 0x3FFFFFEB},
                 {field::kRefDoubler, 7, 0x98E0190A},  // masked to 3
                 {field::kBandSelect, 3, 0x9CA0190A},
                 {field::kTrimA, 0, 0x9A8B800E},
                 {field::kTrimB, 0, 0x9A80186E},
                 {field::kModeCode, 2, 0x5BD05000},
                 {field::kFracOpCfg, 7, 0x4B1CA00C},
                 {field::kNotFlagBLo, 1, 0x4B00A02C}};
    for (const auto &c : cases) {
        RegisterImage image = DefaultImage();
        SetField(image, c.f, c.value);
        EXPECT_EQ(GetField(image, c.f), c.value & (FieldMask(c.f) >> c.f.lsb)) << c.value;
        for (int r = 0; r < kRegisterCount; ++r) {
            EXPECT_EQ(image[r], r == c.f.reg ? c.word : kDefaultWords[r]) << c.value;
        }
    }
}

TEST(SynthCalibration, IndexClampsAndRoundsHalfUp)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double f;
        int k;
    } cases[] = {
        {299, 0},      {-1, 0},     {-inf, 0},  {std::nan(""), 0}, {312.4999, 0},
        {312.5, 1},    {337.49, 1}, {337.5, 2}, {1000, 28},        {4987.4, 187},
        {4987.5, 188}, {5001, 188}, {inf, 188}, {4999.999, 188},   {std::nextafter(312.5, 0.0), 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(CalibrationIndex(c.f), c.k) << c.f;
    }
}

}  // namespace
}  // namespace vontrel
