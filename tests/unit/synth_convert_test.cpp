// The double-to-integer conversion every synthesizer value goes through.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "synth/convert.h"

namespace vontrel {
namespace {

struct ConversionCase {
    double in;
    std::uint32_t u32;
};

TEST(SynthConvert, TruncatesWrapsAndDefinesEveryInput)
{
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const ConversionCase cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), 0},
        {kInf, 0},
        {-kInf, 0},
        {-0.0, 0},
        {std::numeric_limits<double>::denorm_min(), 0},
        {-std::numeric_limits<double>::denorm_min(), 0},
        {1e300, 0},  // a multiple of 2^32
        {-1e300, 0},
        {std::ldexp(1.0, 32), 0},
        {std::ldexp(1.0, 63), 0},
        {std::ldexp(1.0, 32) + 5.75, 5},
        {std::ldexp(1.0, 31), 0x80000000U},
        {std::ldexp(1.0, 32) - 1.0, 0xFFFFFFFFU},
        {-1.0, 0xFFFFFFFFU},
        {-1.9, 0xFFFFFFFFU},  // toward zero first, then wrapped
        {-0.9, 0},
        {-std::ldexp(1.0, 31), 0x80000000U},
        {-(std::ldexp(1.0, 32) + 3.0), 0xFFFFFFFDU},
        {255.5, 255},
        {256.0, 256},
        {-256.0, 0xFFFFFF00U},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ToUnsigned32(c.in), c.u32);
        EXPECT_EQ(ToByte(c.in), c.u32 & 0xFFU);
        EXPECT_EQ(ToU16(c.in), c.u32 & 0xFFFFU);
    }
}

}  // namespace
}  // namespace vontrel
