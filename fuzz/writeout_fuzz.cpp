// SPDX-License-Identifier: MIT
// The write-out encoder over 12 arbitrary doubles (any bit pattern) and the
// three table entries it may use.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "synth/readback.h"
#include "synth/writeout.h"

namespace {

void Require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace vontrel;  // NOLINT(google-build-using-namespace)
    WriteOutVector values{};
    const std::size_t doubles = std::min(size / sizeof(double), values.size());
    std::memcpy(values.data(), data, doubles * sizeof(double));
    const std::size_t used = doubles * sizeof(double);
    const auto byte_at = [&](std::size_t i) { return used + i < size ? data[used + i] : 0; };
    const TableReads tables = {byte_at(0), byte_at(1), byte_at(2)};

    // Table reads stay inside tables A to C: 85 + k .. 463 + k.
    const WriteOutPlan plan = PlanWriteOut(values);
    Require(plan.k >= 0 && plan.k <= 188);

    const RegisterImage image = EncodeRegisters(values, tables);
    for (int r = 0; r < kRegisterCount; ++r) {
        const std::uint32_t word = image[r];
        Require((word & 0x1F) == (kDefaultWords[r] & 0x1F));  // register address bits
        if (r == 5 || r == 7) {
            Require(word == kDefaultWords[r]);
        }
    }
    const DecodedRegisters regs = DecodeRegisters(image);
    const std::uint32_t word0 = image[0];
    Require((word0 & 0x000300FF) == 0);  // bits 17..16, 11..8 and the lock byte
    Require((word0 & 0x00000F00) == 0);
    Require(regs.mode_code == 2 || regs.mode_code == 6 || regs.mode_code == 4 ||
            regs.mode_code == 7);
    Require(SwitchFromCode(regs.switch_code) != kUnknownSwitchCode || regs.switch_code == 0);

    if (!std::isnan(values[wo::kFreqMHz])) {
        // What is programmed reads back as the clamped frequency, to within
        // the synthesizer's resolution.
        const double f = std::fmin(std::fmax(values[wo::kFreqMHz], 300.0), 5000.0);
        Require(regs.ref_divider == 1 && regs.out_div <= 3 && regs.ref_doubler <= 1);
        Require(std::fabs(regs.freq_mhz - f) <= 1e-5);
    }
    return 0;
}
