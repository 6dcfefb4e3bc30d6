// SPDX-License-Identifier: MIT
// Every bad input: hostile doubles in each write-out entry, null pointers
// for every pointer argument, and register images that decode to no sane
// frequency. Nothing may be undefined (the sanitizer build checks that),
// the frame sequence stays the documented one, and no address outside the
// calibration tables is read.
#include <cmath>
#include <functional>
#include <limits>

#include "synth/register_image.h"
#include "tests/reliability/call_log.h"

namespace reliability {
namespace {

using Limits = std::numeric_limits<double>;

struct BadValue {
    const char *name;
    double value;
    std::uint8_t byte;  // the byte a setting entry stores: truncated, modulo 2^32
};

const BadValue kBadValues[] = {
    {"NaN", Limits::quiet_NaN(), 0},
    {"+inf", Limits::infinity(), 0},
    {"-inf", -Limits::infinity(), 0},
    {"-0.0", -0.0, 0},
    {"denormal", Limits::denorm_min(), 0},
    {"1e300", 1e300, 0},
    {"-1e300", -1e300, 0},
    {"2^32", 4294967296.0, 0},
    {"2^63", 9223372036854775808.0, 0},
    {"-1", -1.0, 255},
    {"255.5", 255.5, 255},
};

using vontrel::kDefaultWords;

std::uint32_t Payload(const vsim_call &c)
{
    return std::uint32_t{c.bytes[3]} << 24 | std::uint32_t{c.bytes[4]} << 16 |
           std::uint32_t{c.bytes[5]} << 8 | c.bytes[6];
}

unsigned Address(const vsim_call &c)
{
    return c.bytes[3] | unsigned{c.bytes[4]} << 8;
}

std::vector<vsim_call> Writes()
{
    std::vector<vsim_call> writes;
    for (const vsim_call &c : SimLog()) {
        if (std::string(c.function) == "FT_Write") {
            writes.push_back(c);
        }
    }
    return writes;
}

using BadInputs = OneUnit;

TEST_F(BadInputs, EveryWriteOutEntryTakesEveryHostileValue)
{
    // Mode 0 with the trims given, and mode 3 with the trims from the tables.
    const double bases[][12] = {{10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0},
                                {10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1}};
    int tried = 0;
    for (const auto &base : bases) {
        for (int entry = 0; entry < 12; ++entry) {
            for (const BadValue &bad : kBadValues) {
                double values[12];
                std::copy(std::begin(base), std::end(base), values);
                values[entry] = bad.value;
                const std::string what = "entry " + std::to_string(entry) + " = " + bad.name +
                                         ", mode " + std::to_string(base[5]);
                vsim_clear_log();
                unsigned long status = 99;
                Vontrel_WriteStatus(&status, handle_, values);
                ++tried;
                // A NaN frequency, and a NaN level where mode 3 uses it, are refused.
                const bool used_level = entry == 3 && base[5] == 3.0;
                if ((entry == 2 || used_level) && std::isnan(bad.value)) {
                    EXPECT_EQ(status, FT_INVALID_PARAMETER) << what;
                    EXPECT_EQ(vsim_log_size(), 0u) << what;
                    continue;
                }
                EXPECT_EQ(status, FT_OK) << what;
                const auto w = Writes();
                const std::size_t reads = values[8] != 0.0 ? 3 : 1;
                ASSERT_EQ(w.size(), 3 + reads + 8) << what;
                EXPECT_EQ(vsim_log_size(), 2 * w.size()) << what;

                const unsigned stored[3] = {83, 84, 45};
                const int from[3] = {0, 1, 6};
                for (int i = 0; i < 3; ++i) {
                    EXPECT_EQ(w[i].bytes[2], 0x0C) << what;
                    EXPECT_EQ(Address(w[i]), stored[i]) << what;
                    const std::uint8_t expected =
                        entry == from[i] ? bad.byte : static_cast<std::uint8_t>(base[from[i]]);
                    EXPECT_EQ(w[i].bytes[5], expected) << what;
                }
                // Table reads: A and B (when asked for) and C, all at one index.
                const unsigned k = Address(w[2 + reads]) - 463;
                EXPECT_LE(k, 188u) << what;
                for (std::size_t i = 0; i < reads; ++i) {
                    const vsim_call &r = w[3 + i];
                    EXPECT_EQ(r.bytes[2], 0x0D) << what;
                    EXPECT_EQ(Address(r), 463 - 189 * (reads - 1 - i) + k) << what;
                    EXPECT_TRUE(Address(r) >= 85 && Address(r) <= 651) << what;
                }
                for (int reg = 0; reg < 8; ++reg) {
                    const vsim_call &r = w[3 + reads + reg];
                    EXPECT_EQ(r.bytes[2], reg == 0 ? 0x0A : reg) << what;
                    const std::uint32_t word = Payload(r);
                    EXPECT_EQ(word & 0x1F, kDefaultWords[reg] & 0x1F) << what << " reg " << reg;
                    if (reg == 5 || reg == 7) {
                        EXPECT_EQ(word, kDefaultWords[reg]) << what;
                    }
                    if (reg == 0) {
                        EXPECT_EQ(word & 0xFF, 0u) << what;
                    }
                }
            }
        }
    }
    std::printf("bad write-out inputs tried: %d\n", tried);
    RecordProperty("bad_inputs", tried);
}

// Register images that decode to no frequency, or to one far off the grid:
// the read-back still reads only inside the four tables.
TEST_F(BadInputs, ReadBackOfWildRegistersStaysInTheTables)
{
    const std::pair<const char *, std::array<std::uint32_t, 8>> images[] = {
        {"all zero (NaN)", {}},
        {"all ones", {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u}},
        {"divider 0 (infinite)", {0, 0x0000001F, 0x98A0190A, 0, 0, 0, 0, 0}},
        {"divider 8191, no doubler (tiny)", {0, 0x0003FFE9, 0x0000002A, 0, 0, 0, 0x03000000, 0}},
    };
    for (const auto &[what, words] : images) {
        for (int r = 0; r < 8; ++r) {
            vsim_set_register(unit_, r, words[r]);
        }
        vsim_clear_log();
        unsigned long status = 99;
        double values[VONTREL_READ_STATUS_ENTRIES];
        EXPECT_EQ(Vontrel_ReadStatus(&status, handle_, values), 0) << what;
        EXPECT_EQ(status, FT_OK) << what;
        const auto w = Writes();
        ASSERT_EQ(w.size(), 13u) << what;
        for (std::size_t i = 8; i < 12; ++i) {
            EXPECT_TRUE(Address(w[i]) >= 85 && Address(w[i]) <= 840) << what;
        }
        EXPECT_EQ(Address(w[12]), 45u) << what;
    }
}

TEST_F(BadInputs, NullPointerForEveryPointerArgument)
{
    unsigned long status = 0;
    int i = 0, handles[1] = {0};
    char frev[VONTREL_FREV_SIZE], hrev[1], cal[VONTREL_CALDATE_SIZE], ifb[VONTREL_IFBAND_SIZE];
    double values[VONTREL_READ_STATUS_ENTRIES] = {10, 20, 1000};
    void *h = handle_;
    unsigned long *s = &status;
    struct Case {
        const char *what;
        bool status_null;
        std::function<int()> call;  // the result, or -1 for exports without one
    };
    const Case cases[] = {
        {"Open status", true, [&] { return Vontrel_Open(nullptr, &i, handles, handles); }},
        {"Open devicesFound", false, [&] { return Vontrel_Open(s, nullptr, handles, handles); }},
        {"Open handles", false, [&] { return Vontrel_Open(s, &i, nullptr, handles); }},
        {"Open serialNumbers", false, [&] { return Vontrel_Open(s, &i, handles, nullptr); }},
        {"ReadInfo status", true,
         [&] { return Vontrel_ReadInfo(nullptr, h, &i, frev, hrev, cal, ifb); }},
        {"ReadInfo SN", false,
         [&] { return Vontrel_ReadInfo(s, h, nullptr, frev, hrev, cal, ifb); }},
        {"ReadInfo fRev", false,
         [&] { return Vontrel_ReadInfo(s, h, &i, nullptr, hrev, cal, ifb); }},
        {"ReadInfo hRev", false,
         [&] { return Vontrel_ReadInfo(s, h, &i, frev, nullptr, cal, ifb); }},
        {"ReadInfo calDate", false,
         [&] { return Vontrel_ReadInfo(s, h, &i, frev, hrev, nullptr, ifb); }},
        {"ReadInfo IFband", false,
         [&] { return Vontrel_ReadInfo(s, h, &i, frev, hrev, cal, nullptr); }},
        {"ReadLD status", true, [&] { return Vontrel_ReadLD(nullptr, h, &i); }},
        {"ReadLD LDstatus", false, [&] { return Vontrel_ReadLD(s, h, nullptr); }},
        {"Preset status", true, [&] { return Vontrel_Preset(nullptr, h), -1; }},
        {"SaveUserPreset status", true, [&] { return Vontrel_SaveUserPreset(nullptr, h), -1; }},
        {"ReadStatus status", true, [&] { return Vontrel_ReadStatus(nullptr, h, values); }},
        {"ReadStatus Values", false, [&] { return Vontrel_ReadStatus(s, h, nullptr); }},
        {"WriteStatus status", true, [&] { return Vontrel_WriteStatus(nullptr, h, values), -1; }},
        {"WriteStatus Values", false, [&] { return Vontrel_WriteStatus(s, h, nullptr), -1; }},
    };
    for (const Case &c : cases) {
        status = 99;
        i = -7;
        vsim_clear_log();
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(status, c.status_null ? 99u : FT_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(i, -7) << c.what << " wrote an output";
        EXPECT_EQ(vsim_log_size(), 0u) << c.what << " reached the converter library";
    }
    EXPECT_EQ(handles[0], 0);
}

}  // namespace
}  // namespace reliability
