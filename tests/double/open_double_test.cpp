// SPDX-License-Identifier: MIT
// Vontrel_Open and Vontrel_Close against a D2XX library of the tests' own,
// loaded ahead of the simulator, whose handles are heap pointers that do not
// fit an int.
#include <gtest/gtest.h>

#include <cstdint>

#include "include/vontrel.h"
#include "tests/double/d2xx_double.h"

namespace {

using Args = std::vector<std::uint64_t>;
using Bytes = std::vector<std::uint8_t>;

TEST(Double, OpenAndCloseMakeExactlyTheseCalls)
{
    double_reset({"Another adapter", "Vontrel"});
    double_set_memory(1, 0, 0x39);
    double_set_memory(1, 1, 0x30);
    unsigned long status = 99;
    int found = 0;
    int handles[2] = {-7, -7};
    int serials[2] = {-7, -7};
    ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(handles[0], -7);
    EXPECT_EQ(serials[0], -7);
    EXPECT_EQ(serials[1], 12345);
    ASSERT_GT(handles[1], 0);

    const std::vector<DoubleCall> calls = double_calls();
    ASSERT_EQ(calls.size(), 12u);
    const std::uintptr_t unit = calls[3].handle;
    EXPECT_GT(unit, std::uintptr_t{1} << 32) << "the double's handles must not fit an int";
    struct Expected {
        const char *function;
        std::uintptr_t handle;
        Args args;
        Bytes bytes;
    };
    const Expected expected[] = {
        {"FT_ListDevices", 0, {0, FT_LIST_NUMBER_ONLY}, {}},
        {"FT_ListDevices", 0, {0, 1, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION}, {}},
        {"FT_ListDevices", 0, {1, 1, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION}, {}},
        {"FT_Open", unit, {1}, {}},
        {"FT_ResetDevice", unit, {}, {}},
        {"FT_SetTimeouts", unit, {2000, 2000}, {}},
        {"FT_SetBaudRate", unit, {19230}, {}},
        {"FT_SetDataCharacteristics", unit, {8, 0, 0}, {}},
        {"FT_Write", unit, {8}, {0x00, 0x21, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x40}},
        // The replies carry their command back: the unit echoes, and
        // needs no wait behind its replies.
        {"FT_Read", unit, {8}, {0x00, 0x23, 0x0D, 0x00, 0x00, 0x39, 0x00, 0x24}},
        {"FT_Write", unit, {8}, {0x00, 0x21, 0x0D, 0x01, 0x00, 0x00, 0x00, 0x40}},
        {"FT_Read", unit, {8}, {0x00, 0x23, 0x0D, 0x01, 0x00, 0x30, 0x00, 0x24}},
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].function, expected[i].function) << i;
        EXPECT_EQ(calls[i].handle, expected[i].handle) << i;
        EXPECT_EQ(calls[i].args, expected[i].args) << i;
        EXPECT_EQ(calls[i].bytes, expected[i].bytes) << i;
    }

    void *token = reinterpret_cast<void *>(static_cast<std::intptr_t>(handles[1]));
    EXPECT_EQ(Vontrel_Close(token), 0);
    const std::vector<DoubleCall> after = double_calls();
    ASSERT_EQ(after.size(), 13u);
    EXPECT_EQ(after.back().function, "FT_Close");
    EXPECT_EQ(after.back().handle, unit);
    EXPECT_EQ(double_open_handles(), 0);
}

}  // namespace

namespace {

TEST(Double, DeviceExportsSendTheirFramesToTheDoublesHandle)
{
    double_reset({"Vontrel"});
    for (int a = 0; a < 10; ++a) {
        double_set_memory(0, a, static_cast<std::uint8_t>(a + 1));
    }
    unsigned long status = 99;
    int found = 0, handles[1] = {0}, serials[1] = {0};
    ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
    void *token = reinterpret_cast<void *>(static_cast<std::intptr_t>(handles[0]));
    const std::size_t before = double_calls().size();
    const std::uintptr_t unit = double_calls().back().handle;

    int sn = 0, ld = -1;
    char frev[10], hrev[1], caldate[17], ifband[20];
    ASSERT_EQ(Vontrel_ReadInfo(&status, token, &sn, frev, hrev, caldate, ifband), 0);
    EXPECT_EQ(sn, 0x0201);
    EXPECT_STREQ(frev, "4.3");
    EXPECT_EQ(hrev[0], 'A' + 8);
    EXPECT_STREQ(caldate, "06/05/2007");
    EXPECT_STREQ(ifband, "9 MHz - 10 MHz");
    EXPECT_EQ(Vontrel_ReadLD(&status, token, &ld), 0);
    Vontrel_Preset(&status, token);
    Vontrel_SaveUserPreset(&status, token);

    std::vector<Bytes> frames;
    const std::vector<DoubleCall> calls = double_calls();
    for (std::size_t i = before; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].handle, unit) << i;
        EXPECT_EQ(calls[i].function, (i - before) % 2 == 0 ? "FT_Write" : "FT_Read") << i;
        if (calls[i].function == "FT_Write") {
            frames.push_back(calls[i].bytes);
        }
    }
    std::vector<Bytes> expected;
    for (int a : {0, 1, 3, 2, 7, 4, 5, 6, 8, 9}) {
        expected.push_back({0x00, 0x21, 0x0D, static_cast<std::uint8_t>(a), 0, 0, 0, 0x40});
    }
    expected.push_back({0x00, 0x21, 0x0B, 0, 0, 0, 0, 0x40});
    expected.push_back({0x00, 0x21, 0xFF, 0, 0, 0, 0, 0x40});
    expected.push_back({0x00, 0x21, 0x0E, 0, 0, 0, 0, 0x40});
    EXPECT_EQ(frames, expected);
    EXPECT_EQ(Vontrel_Close(token), 0);
}

}  // namespace
