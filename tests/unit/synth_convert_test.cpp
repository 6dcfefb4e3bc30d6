// SPDX-License-Identifier: MIT
// The double-to-integer conversion every synthesizer value goes through.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "synth/convert.h"

namespace vontrel {
namespace {

TEST(SynthConvert, TruncatesWrapsAndDefinesEveryInput)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double two31 = std::ldexp(1.0, 31);
    const struct {
        std::uint32_t out;
        std::vector<double> ins;
    } cases[] = {
        {0,
         {std::nan(""), inf, -inf, -0.0, std::numeric_limits<double>::denorm_min(), -0.9, 2 * two31,
          std::ldexp(1.0, 63), 1e300, -1e300}},  // big ones: multiples of 2^32
        {5, {4 * two31 + 5.75}},
        {255, {255.5}},
        {0x80000000U, {two31, -two31}},
        {0xFFFFFFFFU, {-1.0, -1.9, 2 * two31 - 1}},  // toward zero first, then wrapped
        {0xFFFFFFFDU, {-(2 * two31 + 3.0)}},
        {0xFFFFFF00U, {-256.0}},
        // Either side of 2^63, where the conversion changes method.
        {0xFFFFFC00U, {std::ldexp(1.0, 63) - 1024}},
        {1024, {-(std::ldexp(1.0, 63) - 1024)}},
        {2048, {std::ldexp(1.0, 63) + 2048}},
        {0xFFFFF800U, {-(std::ldexp(1.0, 63) + 2048)}},
        {0, {-std::ldexp(1.0, 63)}},
    };
    for (const auto &c : cases) {
        for (const double in : c.ins) {
            EXPECT_EQ(ToUnsigned32(in), c.out) << in;
            EXPECT_EQ(ToByte(in), c.out & 0xFFU) << in;
            EXPECT_EQ(ToU16(in), c.out & 0xFFFFU) << in;
        }
    }
}

}  // namespace
}  // namespace vontrel
