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
