// SPDX-License-Identifier: MIT
#include "synth/convert.h"

#include <cmath>

namespace vontrel {
namespace {

constexpr double kTwoTo32 = 4294967296.0;

}  // namespace

std::uint32_t ToUnsigned32Wide(double value)
{
    if (!std::isfinite(value)) {
        return 0;
    }
    // fmod is exact, and so is adding 2^32 to a whole number of magnitude
    // below 2^32, so `wrapped` is the exact residue in [0, 2^32) and the
    // final conversion is always in range.
    double wrapped = std::fmod(std::trunc(value), kTwoTo32);
    if (wrapped < 0.0) {
        wrapped += kTwoTo32;
    }
    return static_cast<std::uint32_t>(wrapped);
}

}  // namespace vontrel
