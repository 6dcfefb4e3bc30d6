// SPDX-License-Identifier: MIT
// A unit that stalls: a reply that comes after the read time-out costs the
// call one time-out and an honest FT_IO_ERROR, and every call after the
// late reply has arrived is in step again.
#include <chrono>
#include <thread>

#include "tests/wire/sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Two units that read alike (the same serial number fills their memory the
// same way): the first stalls, the second shows what a unit that never did
// is sent and reads back.
class Stall : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        stalls_ = vsim_add_unit("Vontrel", 0x4321);
        model_ = vsim_add_unit("Vontrel", 0x4321);
        unsigned long status = 0;
        int found = 0;
        int handles[2] = {};
        int serials[2] = {};
        ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
        ASSERT_EQ(found, 2);
        stalling_ = AsHandle(handles[0]);
        model_handle_ = AsHandle(handles[1]);
    }
    void TearDown() override
    {
        Vontrel_Close(stalling_);
        Vontrel_Close(model_handle_);
        vsim_clear_faults();
    }

    // The frames a write-out sends, and its status.
    static std::vector<Bytes> WriteOut(void *unit, std::array<double, 12> values,
                                       unsigned long *status)
    {
        vsim_clear_log();
        Vontrel_WriteStatus(status, unit, values.data());
        return FramesSent();
    }
    static std::array<double, 14> ReadBack(void *unit, unsigned long *status)
    {
        std::array<double, 14> values{};
        Vontrel_ReadStatus(status, unit, values.data());
        return values;
    }

    int stalls_ = 0, model_ = 0;
    void *stalling_ = nullptr;
    void *model_handle_ = nullptr;
};

// Mode 3 with the trims from the tables: 14 exchanges.
constexpr std::array<double, 12> kFirst = {1, 2, 1005, -10, 0, 3, 2, 1, 1, 3, 0, 1};
constexpr std::array<double, 12> kSecond = {20, 29, 2455, 8, 10, 1, 155, 0, 0, 0, 1, 0};

TEST_F(Stall, AWriteOutWhoseFifthReplyIsLateFailsOnceAndTheNextCallsAreInStep)
{
    unsigned long status = 0;
    WriteOut(stalling_, kFirst, &status);
    ASSERT_EQ(status, FT_OK);

    vsim_late_reply(5, 2500);
    const auto start = Clock::now();
    const std::vector<Bytes> sent = WriteOut(stalling_, kSecond, &status);
    const auto took = Clock::now() - start;
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(sent.size(), 5u) << "exchanges made after the unit stopped answering";
    EXPECT_GE(took, milliseconds(1900)) << "the read time-out is 2 s";
    EXPECT_LT(took, milliseconds(2400)) << "one time-out, not one per exchange";

    // Once the late reply is there, every call reads and writes as on a
    // unit that never stalled.
    std::this_thread::sleep_until(start + milliseconds(2600));
    const auto back = ReadBack(stalling_, &status);
    EXPECT_EQ(status, FT_OK);
    // The model is made to hold what the stalled unit holds: the write-out
    // went as far as its fifth frame.
    for (int r = 0; r < 8; ++r) {
        vsim_set_register(model_, r, vsim_get_register(stalls_, r));
    }
    for (const std::uint16_t a : {45, 83, 84}) {
        vsim_set_memory(model_, a, vsim_get_memory(stalls_, a));
    }
    unsigned long model_status = 0;
    EXPECT_EQ(back, ReadBack(model_handle_, &model_status)) << "the read-back is shifted";

    const std::vector<Bytes> frames = WriteOut(stalling_, kSecond, &status);
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(frames, WriteOut(model_handle_, kSecond, &model_status));
    EXPECT_EQ(ReadBack(stalling_, &status), ReadBack(model_handle_, &model_status));
    EXPECT_EQ(status, FT_OK);
}

TEST_F(Stall, EveryExportStopsAtALateReplyAndTheNextCallIsInStep)
{
    // Each export with its first reply late by more than the time-out:
    // FT_IO_ERROR after one time-out, one frame sent.
    struct Case {
        const char *name;
        void (*call)(unsigned long *, void *);
    };
    const Case cases[] = {
        {"Vontrel_ReadStatus",
         [](unsigned long *s, void *h) {
             double v[14];
             Vontrel_ReadStatus(s, h, v);
         }},
        {"Vontrel_ReadInfo",
         [](unsigned long *s, void *h) {
             int sn = 0;
             char f[VONTREL_FREV_SIZE], hr[1], c[VONTREL_CALDATE_SIZE], i[VONTREL_IFBAND_SIZE];
             Vontrel_ReadInfo(s, h, &sn, f, hr, c, i);
         }},
        {"Vontrel_SaveUserPreset", Vontrel_SaveUserPreset},
    };
    for (const Case &c : cases) {
        vsim_late_reply(1, 2200);
        vsim_clear_log();
        unsigned long status = 0;
        const auto start = Clock::now();
        c.call(&status, stalling_);
        EXPECT_EQ(status, FT_IO_ERROR) << c.name;
        EXPECT_EQ(FramesSent().size(), 1u) << c.name;
        EXPECT_LT(Clock::now() - start, milliseconds(2400)) << c.name;
        std::this_thread::sleep_until(start + milliseconds(2300));
        int ld = -1;
        Vontrel_ReadLD(&status, stalling_, &ld);
        EXPECT_EQ(status, FT_OK) << c.name << ": the call after it";
    }
}

}  // namespace
