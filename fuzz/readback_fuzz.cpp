// SPDX-License-Identifier: MIT
// The read-back decoder over eight arbitrary register words and the five
// memory bytes it reads.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "synth/calibration.h"
#include "synth/readback.h"

namespace {

void Require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

bool OneOf(double v, std::initializer_list<double> set)
{
    for (double s : set) {
        if (v == s) {
            return true;
        }
    }
    return false;
}

bool Quarter(double v, double lo, double hi)
{
    return v >= lo && v <= hi && v * 4 == std::trunc(v * 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace vontrel;  // NOLINT(google-build-using-namespace)
    const auto byte_at = [&](std::size_t i) { return i < size ? data[i] : 0; };
    RegisterImage words{};
    for (std::size_t r = 0; r < words.size(); ++r) {
        RegisterWordBytes bytes{};
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[b] = static_cast<std::uint8_t>(byte_at(4 * r + b));
        }
        words[r] = WordValue(bytes);
    }
    const CalibrationEntries tables = {byte_at(32), byte_at(33), byte_at(34), byte_at(35)};
    const int stored = byte_at(36);

    const DecodedRegisters regs = DecodeRegisters(words);
    // Table reads stay inside the four tables: 85 + k .. 652 + k <= 840.
    const int k = CalibrationIndex(regs.freq_mhz);
    Require(k >= 0 && k <= 188);

    const ReadBackVector v = BuildReadBackVector(regs, tables, stored);
    Require(v[rb::kTrimA] >= 0 && v[rb::kTrimA] <= 255 && v[rb::kTrimB] >= 0 &&
            v[rb::kTrimB] <= 255);
    Require(Quarter(v[rb::kLevelMax], -63.75, 63.75) && Quarter(v[rb::kLevel], -63.75, 63.75));
    Require(Quarter(v[rb::kAttenuation], 0, 63.75) && Quarter(v[rb::kLevelMin], -31.75, 32));
    Require(OneOf(v[rb::kMode], {0, 1, 2, 3}) && v[rb::kStoredSetting] == stored);
    Require(OneOf(v[rb::kFlagA], {0, 1}) && OneOf(v[rb::kAutoTrim], {0, 2}));
    Require(OneOf(v[rb::kSwitchCode], {-1, 0, 1, 2, 3, 4}));
    Require(OneOf(v[rb::kFlagB], {0, 1}) && OneOf(v[rb::kFlagC], {0, 1}));
    return 0;
}
