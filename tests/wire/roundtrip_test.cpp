// SPDX-License-Identifier: MIT
// A unit programmed with Vontrel_WriteStatus reads back with
// Vontrel_ReadStatus as it was programmed, over the whole frequency range.
#include <cmath>

#include "tests/wire/sim_fixture.h"

namespace {

using RoundTrip = OneUnit;

// The frequencies tried: an even spread plus every divider, doubler and band
// edge with its neighbours.
std::vector<double> Frequencies()
{
    std::vector<double> f;
    for (int n = 0; n <= 10000; ++n) {
        f.push_back(300.0 + n * 0.47);
    }
    for (const double edge : {300.0, 600.0, 1200.0, 1400.0, 2400.0, 2800.0, 3100.0, 3900.0, 4625.0,
                              5000.0, 312.5, 2455.0}) {
        for (const double d : {-0.01, -1e-6, 0.0, 1e-6, 0.01}) {
            if (edge + d >= 300.0 && edge + d <= 5000.0) {
                f.push_back(edge + d);
            }
        }
    }
    return f;
}

// The synthesizer's resolution at f: one step of the fractional part.
double Resolution(double f)
{
    const int s = f >= 2400 ? 0 : f >= 1200 ? 1 : f >= 600 ? 2 : 3;
    const int d = f * std::pow(2.0, s) >= 2800 ? 1 : 0;
    return 10.0 * std::pow(2.0, d) / std::pow(2.0, 25) / std::pow(2.0, s);
}

TEST_F(RoundTrip, EveryFieldComesBack)
{
    // Flat tables, so that the trims and levels do not depend on the step.
    constexpr int kTableA = 171, kTableB = 83, kTableC = 200;
    for (int k = 0; k < 189; ++k) {
        vsim_set_memory(unit_, static_cast<std::uint16_t>(85 + k), kTableA);
        vsim_set_memory(unit_, static_cast<std::uint16_t>(274 + k), kTableB);
        vsim_set_memory(unit_, static_cast<std::uint16_t>(463 + k), kTableC);
    }
    const std::vector<double> freqs = Frequencies();
    int n = 0;
    for (const double f : freqs) {
        ++n;
        const double mode = n % 4;
        const bool auto_trim = n % 3 == 0;
        const int code = n % 128;
        const double in[12] = {double(n % 256),         double(n * 7 % 256), f,
                               (kTableC - code) * 0.25, code * 0.25,         mode,
                               double(n * 3 % 256),     double(n % 2),       auto_trim ? 2.0 : 0.0,
                               double(n % 5),           double(n / 2 % 2),   double(n / 5 % 2)};
        unsigned long status = 99;
        Vontrel_WriteStatus(&status, handle_, const_cast<double *>(in));
        ASSERT_EQ(status, FT_OK) << f;
        double out[14];
        ASSERT_EQ(Vontrel_ReadStatus(&status, handle_, out), 0);
        ASSERT_EQ(status, FT_OK) << f;

        ASSERT_LE(std::fabs(out[2] - f), Resolution(f)) << f;
        EXPECT_EQ(out[0], auto_trim ? kTableA : in[0]) << f;
        EXPECT_EQ(out[1], auto_trim ? kTableB : in[1]) << f;
        EXPECT_EQ(out[9], auto_trim ? 2.0 : 0.0) << f;
        EXPECT_EQ(out[4], (kTableC - code) * 0.25) << f;  // mode 3 sets it; the others follow
        EXPECT_EQ(out[5], code * 0.25) << f;
        for (const auto &[read_back, written] :
             {std::pair{6, 5}, {7, 6}, {8, 7}, {10, 9}, {11, 10}, {12, 11}}) {
            EXPECT_EQ(out[read_back], in[written]) << f << " entry " << read_back;
        }
        if (n % 1000 == 0) {
            vsim_clear_log();
        }
    }
    EXPECT_GE(freqs.size(), 10000u);
    EXPECT_GE(vsim_call_count(), static_cast<long>(freqs.size()) * 2 * (12 + 13));
    EXPECT_EQ(vsim_locked(unit_), 1);
}

}  // namespace

namespace {

// The unit powers up with its own image, not a copy of the library's: a
// write-out leaves what the library must send as the default (registers 5
// and 7 whole, the address bits of every register) as the unit had it, and
// the unit's power-up image reads back as 1000 MHz with trims 195 and 92.
TEST_F(RoundTrip, TheLibrarysDefaultImageIsTheUnits)
{
    std::uint32_t power_up[8];
    for (int r = 0; r < 8; ++r) {
        power_up[r] = vsim_get_register(unit_, r);
    }
    unsigned long status = 99;
    double out[14];
    ASSERT_EQ(Vontrel_ReadStatus(&status, handle_, out), 0);
    ASSERT_EQ(status, FT_OK);
    EXPECT_EQ(out[2], 1000.0);
    EXPECT_EQ(out[0], 195.0);
    EXPECT_EQ(out[1], 92.0);

    const double in[12] = {10, 20, 2455.0, 0, 10.0, 1, 0, 0, 0, 0, 0, 0};
    Vontrel_WriteStatus(&status, handle_, const_cast<double *>(in));
    ASSERT_EQ(status, FT_OK);
    for (const int r : {5, 7}) {
        EXPECT_EQ(vsim_get_register(unit_, r), power_up[r]) << "register " << r;
    }
    for (int r = 0; r < 8; ++r) {
        EXPECT_EQ(vsim_get_register(unit_, r) & 0x1FU, power_up[r] & 0x1FU) << "register " << r;
    }
}

}  // namespace
