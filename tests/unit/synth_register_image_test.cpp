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

TEST(SynthRegisterImage, DefaultRecordsAndOutOfRangeIndex)
{
    using Record = std::array<std::uint8_t, kRegisterRecordSize>;
    const struct {
        int index;
        Record expected;
    } cases[] = {
        {0, {0x00, 0x23, 0x0B, 0x5B, 0xD0, 0xF0, 0x00, 0x24}},
        {5, {0x00, 0x23, 0x05, 0x0D, 0x03, 0xA2, 0x8D, 0x24}},
        {7, {0x00, 0x23, 0x07, 0xD0, 0x41, 0x10, 0x0F, 0x24}},
        {-1, {1, 2, 3, 4, 5, 6, 7, 8}},  // untouched
        {8, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto &c : cases) {
        Record record = {1, 2, 3, 4, 5, 6, 7, 8};
        DefaultRegisterRecord(record.data(), c.index);
        EXPECT_EQ(record, c.expected) << "index " << c.index;
    }
    const RegisterImage image = DefaultImage();
    for (int r = 0; r < kRegisterCount; ++r) {
        EXPECT_EQ(WordValue(image[r]), kDefaultWords[r]) << r;
        EXPECT_EQ(WordBytes(kDefaultWords[r]), image[r]) << r;
        EXPECT_EQ(kDefaultWords[r] & 0x1FU, r == 0 ? 0U : 0x08U + r) << r;
    }
}

TEST(SynthRegisterImage, DefaultImageDecodesTo1000MHz)
{
    const RegisterImage image = DefaultImage();
    const struct {
        Field f;
        std::uint32_t value;
    } cases[] = {
        {field::kAttenCode, 91}, {field::kSwitchCode, 26}, {field::kFlagB, 0},
        {field::kModeCode, 7},   {field::kNotFlagA, 1},    {field::kRefDivider, 1},
        {field::kBandSelect, 2}, {field::kRefDoubler, 1},  {field::kIntPart, 200},
        {field::kFracPart, 0},   {field::kFracOpOn, 0},    {field::kFracOpOff, 1},
        {field::kFracOpCfg, 0},  {field::kFlagC, 0},       {field::kNotFlagBHi, 0},
        {field::kNotFlagBLo, 0}, {field::kOutDivCopy, 2},  {field::kOutDiv, 2},
        {field::kTrimB, 92},     {field::kTrimA, 195},     {field::kLockStatus, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(GetField(image, c.f), c.value) << "reg " << c.f.reg << " lsb " << c.f.lsb;
    }
    const double comparison = ComparisonFrequencyMHz(1, 1);
    EXPECT_EQ(OutputFrequencyMHz(OscillatorFrequencyMHz(comparison, 200, 0), 2), 1000.0);
}

// Each write lands on the default image; only its register may change, and
// the field reads back as the value cut to its width.
TEST(SynthRegisterImage, FieldPackingTouchesOnlyItsBits)
{
    const struct {
        Field f;
        std::uint32_t value;
        std::uint32_t word;
    } cases[] = {
        {field::kIntPart, 200, 0x98A0190A},
        {field::kIntPart, 0x1234, 0x98A2468A},
        {field::kRefDivider, 0x1FFF, 0x6013FFE9},
        {field::kRefDivider, 0x2001, 0x60100029},  // bit 13 dropped: reads back 1
        {field::kFracPart, (1U << 25) - 1, 0x3FFFFFEB},
        {field::kRefDoubler, 7, 0x98E0190A},  // masked to 3
        {field::kBandSelect, 3, 0x9CA0190A},
        {field::kTrimA, 195, 0x9A8B986E},
        {field::kTrimA, 0, 0x9A8B800E},
        {field::kTrimB, 0, 0x9A80186E},
        {field::kTrimB, 0xFF, 0x9A9FF86E},
        {field::kOutDiv, 3, 0x9B8B986E},
        {field::kOutDivCopy, 0, 0x928B986E},
        {field::kAttenCode, 0x1FF, 0xFFD0F000},
        {field::kSwitchCode, 0, 0x5B00F000},
        {field::kModeCode, 2, 0x5BD05000},
        {field::kFracOpOn, 1, 0xCB00A00C},
        {field::kFracOpOff, 0, 0x4A00A00C},
        {field::kFracOpCfg, 7, 0x4B1CA00C},
        {field::kFlagC, 1, 0x4B02A00C},
        {field::kNotFlagBHi, 1, 0x4B00B00C},
        {field::kNotFlagBLo, 1, 0x4B00A02C},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "reg " << c.f.reg << " lsb " << c.f.lsb << " value " << c.value);
        RegisterImage image = DefaultImage();
        SetField(image, c.f, c.value);
        EXPECT_EQ(GetField(image, c.f), c.value & (FieldMask(c.f) >> c.f.lsb));
        for (int r = 0; r < kRegisterCount; ++r) {
            EXPECT_EQ(WordValue(image[r]), r == c.f.reg ? c.word : kDefaultWords[r]) << r;
        }
    }
}

TEST(SynthCalibration, IndexClampsAndRoundsHalfUp)
{
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        double f;
        int k;
    } cases[] = {
        {300, 0},
        {299, 0},
        {-1, 0},
        {-kInf, 0},
        {100, 0},
        {312.4999, 0},
        {312.49, 0},
        {312.5, 1},
        {337.49, 1},
        {337.5, 2},
        {1000, 28},
        {4987.4, 187},
        {4987.5, 188},
        {4999.999, 188},
        {5000, 188},
        {5001, 188},
        {6000, 188},
        {kInf, 188},
        {std::numeric_limits<double>::quiet_NaN(), 0},
        {std::nextafter(312.5, 0.0), 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CalibrationIndex(c.f), c.k) << c.f;
    }
}

}  // namespace
}  // namespace vontrel
