// SPDX-License-Identifier: MIT
// Vontrel_ReadStatus and Vontrel_WriteStatus on the wire of a simulated
// unit: the exchanges in order, the guards, and failures mid-sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/wire/sim_fixture.h"

namespace {

using SynthExports = OneUnit;

// 00 21 code p0 p1 p2 p3 40 with the payload p0 most significant.
Bytes Cmd(unsigned code, std::uint32_t payload)
{
    Bytes frame = {0x00, 0x21, static_cast<std::uint8_t>(code), 0, 0, 0, 0, 0x40};
    for (int i = 0; i < 4; ++i) {
        frame[3 + i] = static_cast<std::uint8_t>(payload >> (24 - 8 * i));
    }
    return frame;
}
Bytes MemRead(unsigned a)
{
    return Cmd(0x0D, (a & 0xFF) << 24 | (a >> 8) << 16);
}
Bytes MemWrite(unsigned a, unsigned v)
{
    return Cmd(0x0C, (a & 0xFF) << 24 | (a >> 8) << 16 | v << 8);
}

TEST_F(SynthExports, WriteThenReadTheFractionalExample)
{
    const std::pair<unsigned, int> tables[] = {{171, 186}, {360, 136}, {549, 114}, {738, 100}};
    for (const auto &[address, value] : tables) {
        vsim_set_memory(unit_, address, value);
    }
    double values[14] = {10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1};
    unsigned long status = 99;
    Vontrel_WriteStatus(&status, handle_, values);
    EXPECT_EQ(status, 0U);
    const std::uint32_t words[8] = {0x6AD4F000, 0x60100029, 0x90801EAA, 0x2000000B,
                                    0xCA1EA00C, 0x0D03A28D, 0x9091174E, 0xD041100F};
    std::vector<Bytes> sent = {MemWrite(83, 10), MemWrite(84, 20), MemWrite(45, 5),
                               MemRead(171),     MemRead(360),     MemRead(549)};
    for (unsigned r = 0; r < 8; ++r) {
        sent.push_back(Cmd(r == 0 ? 0x0A : r, words[r]));
    }
    EXPECT_EQ(FramesSent(), sent);

    vsim_clear_log();
    EXPECT_EQ(Vontrel_ReadStatus(&status, handle_, values), 0);
    EXPECT_EQ(status, 0U);
    sent = {Cmd(0x0B, 0)};
    for (unsigned r = 1; r < 8; ++r) {
        sent.push_back(Cmd(0x00, r << 24));
    }
    sent.insert(sent.end(), {MemRead(738), MemRead(549), MemRead(360), MemRead(171), MemRead(45)});
    EXPECT_EQ(FramesSent(), sent);
    const double expected[14] = {186, 136, 2455, 3.5, 2, 26.5, 3, 5, 0, 2, 2, 1, 1, -3.25};
    EXPECT_TRUE(std::equal(values, values + 14, expected));
}

TEST_F(SynthExports, GuardsMakeNoExchange)
{
    double nan_freq[14] = {10, 20, std::nan("")};
    double values[14] = {10, 20, 1000};
    const struct {
        bool null_status;
        void *handle;
        double *values;
        unsigned long write_status, read_status;  // the read-back ignores the frequency
    } cases[] = {{true, handle_, values, 99, 99},
                 {false, handle_, nullptr, FT_INVALID_PARAMETER, FT_INVALID_PARAMETER},
                 {false, nullptr, values, FT_INVALID_HANDLE, FT_INVALID_HANDLE},
                 {false, AsHandle(987654), values, FT_INVALID_HANDLE, FT_INVALID_HANDLE},
                 {false, handle_, nan_freq, FT_INVALID_PARAMETER, FT_OK}};
    for (const auto &c : cases) {
        vsim_clear_log();
        unsigned long status = 99;
        Vontrel_WriteStatus(c.null_status ? nullptr : &status, c.handle, c.values);
        EXPECT_EQ(status, c.write_status);
        EXPECT_EQ(vsim_log_size(), 0U);
        status = 99;
        const int result =
            Vontrel_ReadStatus(c.null_status ? nullptr : &status, c.handle, c.values);
        EXPECT_EQ(status, c.read_status);
        EXPECT_EQ(result, c.read_status == FT_OK ? 0 : -1);
    }
}

// A failed exchange stops nothing: the write-out still sends all twelve
// frames and keeps the failure, and a read-back from a unit that answers
// nothing decodes zeros.
TEST_F(SynthExports, FailuresMidSequence)
{
    double values[14] = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
    vsim_fail_call("FT_Write", 8, FT_OTHER_ERROR);  // register 3
    unsigned long status = 99;
    Vontrel_WriteStatus(&status, handle_, values);
    EXPECT_EQ(FramesSent().size(), 12U);
    EXPECT_EQ(status, FT_OTHER_ERROR);

    vsim_unplug(unit_);
    EXPECT_EQ(Vontrel_ReadStatus(&status, handle_, values), 0);
    EXPECT_NE(status, 0U);
    EXPECT_TRUE(std::isnan(values[2]));  // every slot zero: no divider
    const std::pair<int, double> zeros[] = {{3, 0.0}, {7, 0.0}, {10, -1.0}, {13, -31.75}};
    for (const auto &[entry, value] : zeros) {
        EXPECT_EQ(values[entry], value) << entry;
    }
    vsim_plug(unit_);
}

}  // namespace
