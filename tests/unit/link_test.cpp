// SPDX-License-Identifier: MIT
// The four transaction primitives on the wire of a simulated unit, and the
// handle table behind the exports.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.h"
#include "link/handle_table.h"
#include "link/transact.h"

namespace vontrel {
namespace {

using Bytes = std::array<std::uint8_t, 8>;

Bytes LastFrameSent()
{
    Bytes frame{};
    for (std::size_t i = vsim_log_size(); i-- > 0;) {
        vsim_call call{};
        vsim_log_entry(i, &call);
        if (std::string(call.function) == "FT_Write") {
            std::copy(call.bytes, call.bytes + 8, frame.begin());
            break;
        }
    }
    return frame;
}

std::vector<std::string> Calls()
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < vsim_log_size(); ++i) {
        vsim_call call{};
        vsim_log_entry(i, &call);
        names.emplace_back(call.function);
    }
    return names;
}

// An opened and configured simulated unit, talked to directly.
class Primitives : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        unit_ = vsim_add_unit("Vontrel", 1);
        ASSERT_EQ(FT_Open(0, &handle_), FT_OK);
        FT_ResetDevice(handle_);
        FT_SetTimeouts(handle_, kReadTimeoutMs, kWriteTimeoutMs);
        FT_SetBaudRate(handle_, 19230);
        FT_SetDataCharacteristics(handle_, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
        vsim_clear_log();
        NewCall();
    }
    void TearDown() override
    {
        FT_Close(handle_);
        vsim_clear_faults();
    }
    // The link as the next export call sees it: the unit's step kept, the
    // call's own state new, *status FT_OK.
    Link &NewCall()
    {
        link_ = std::make_unique<Link>(handle_, step_);
        status_ = FT_OK;
        return *link_;
    }
    // A unit whose link is in step, as after a call where all went well.
    Link &InStep()
    {
        step_ = LinkStep::kInStep;
        return NewCall();
    }
    int unit_ = 0;
    FT_HANDLE handle_ = nullptr;
    std::atomic<LinkStep> step_{LinkStep::kInStep};
    std::unique_ptr<Link> link_;
    unsigned long status_ = FT_OK;  // as every export sets it before its first call
};

TEST_F(Primitives, FramesAreByteExact)
{
    struct Case {
        const char *what;
        void (*send)(unsigned long *, Link &);
        Bytes frame;
    };
    const Case cases[] = {
        {"memory read 652",
         [](unsigned long *s, Link &h) { ReadMemoryByte(s, h, 652); },
         {0x00, 0x21, 0x0D, 0x8C, 0x02, 0x00, 0x00, 0x40}},
        {"memory read 9",
         [](unsigned long *s, Link &h) { ReadMemoryByte(s, h, 9); },
         {0x00, 0x21, 0x0D, 0x09, 0x00, 0x00, 0x00, 0x40}},
        {"address modulo 65536",
         [](unsigned long *s, Link &h) { ReadMemoryByte(s, h, 0x10000 + 9); },
         {0x00, 0x21, 0x0D, 0x09, 0x00, 0x00, 0x00, 0x40}},
        {"memory write 7 at 83",
         [](unsigned long *s, Link &h) { WriteMemoryByte(s, h, 83, 7); },
         {0x00, 0x21, 0x0C, 0x53, 0x00, 0x07, 0x00, 0x40}},
        {"register 0 read-back",
         [](unsigned long *s, Link &h) {
             Frame r{};
             ReadRegister(s, h, 0, r);
         },
         {0x00, 0x21, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x40}},
        {"register 5 read-back",
         [](unsigned long *s, Link &h) {
             Frame r{};
             ReadRegister(s, h, 5, r);
         },
         {0x00, 0x21, 0x00, 0x05, 0x00, 0x00, 0x00, 0x40}},
        {"register 0 write",
         [](unsigned long *s, Link &h) {
             WriteRegister(s, h, 0, {0x11, 0x22, 0x33, 0x44});
         },
         {0x00, 0x21, 0x0A, 0x11, 0x22, 0x33, 0x44, 0x40}},
        {"register 3 write",
         [](unsigned long *s, Link &h) {
             WriteRegister(s, h, 3, {0x11, 0x22, 0x33, 0x44});
         },
         {0x00, 0x21, 0x03, 0x11, 0x22, 0x33, 0x44, 0x40}},
    };
    for (const Case &c : cases) {
        vsim_clear_log();
        c.send(&status_, InStep());
        EXPECT_EQ(status_, FT_OK) << c.what;
        EXPECT_EQ(LastFrameSent(), c.frame) << c.what;
        EXPECT_EQ(Calls(), (std::vector<std::string>{"FT_Write", "FT_Read"})) << c.what;
    }
}

TEST_F(Primitives, MemoryReadTakesOnlyByteFiveUnsigned)
{
    vsim_set_memory(unit_, 300, 0xC8);
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 300), 200);
    // A reply whose markers, echo and other bytes are all wrong still counts.
    const unsigned char odd[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x7B, 0xEE, 0xEE};
    vsim_replace_response(1, odd);
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 300), 0x7B);
    EXPECT_EQ(status_, FT_OK);
}

TEST_F(Primitives, FailuresAndShortReads)
{
    struct Case {
        const char *what;
        void (*arm)();
        unsigned long status;
        int memory_read;    // ReadMemoryByte's result
        int register_read;  // ReadRegister's result
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"write fails",
         [] { vsim_fail_call("FT_Write", 1, FT_IO_ERROR); },
         FT_IO_ERROR,
         0,
         -1,
         {"FT_Write"}},
        {"read fails",
         [] { vsim_fail_call("FT_Read", 1, FT_OTHER_ERROR); },
         FT_OTHER_ERROR,
         0,
         -2,
         {"FT_Write", "FT_Read"}},
        {"read comes short",
         [] { vsim_short_read(1, 5); },
         FT_IO_ERROR,
         0,
         -2,
         {"FT_Write", "FT_Read"}},
        {"write comes short", [] { vsim_short_write(1, 5); }, FT_IO_ERROR, 0, -1, {"FT_Write"}},
        {"read delivers nothing",
         [] { vsim_short_read(1, 0); },
         FT_IO_ERROR,
         0,
         -2,
         {"FT_Write", "FT_Read"}},
    };
    vsim_set_memory(unit_, 7, 0x55);
    for (const Case &c : cases) {
        vsim_clear_log();
        c.arm();
        EXPECT_EQ(ReadMemoryByte(&status_, InStep(), 7), c.memory_read) << c.what;
        EXPECT_EQ(status_, c.status) << c.what;
        EXPECT_EQ(Calls(), c.calls) << c.what;
        EXPECT_EQ(step_, LinkStep::kOutOfStep) << c.what;

        vsim_clear_log();
        c.arm();
        Frame response;
        response.fill(0xA5);
        EXPECT_EQ(ReadRegister(&status_, InStep(), 2, response), c.register_read) << c.what;
        EXPECT_EQ(status_, c.status) << c.what;
        Frame untouched;
        untouched.fill(0xA5);
        EXPECT_EQ(response, untouched) << c.what << ": a failed read-back left bytes behind";
    }
}

TEST_F(Primitives, AReplyThatDoesNotComeWholeFailsEvenWhenDiscarded)
{
    vsim_short_read(1, 3);
    WriteMemoryByte(&status_, *link_, 45, 9);
    EXPECT_EQ(status_, FT_IO_ERROR);
    EXPECT_EQ(vsim_get_memory(unit_, 45), 9) << "the unit had the frame";
    EXPECT_TRUE(link_->stalled());
}

// Which D2XX calls the exchanges of one call made, in order.
const std::vector<std::string> kExchange = {"FT_Write", "FT_Read"};
const std::vector<std::string> kResync = {"FT_ResetDevice", "FT_SetTimeouts",
                                          "FT_SetBaudRate", "FT_SetDataCharacteristics",
                                          "FT_Read",  // nothing for kQuietMs
                                          "FT_SetTimeouts"};
const std::vector<std::string> kConfirm = {"FT_SetTimeouts", "FT_Read", "FT_SetTimeouts"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto &p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST_F(Primitives, AStallEndsTheCallAndTheNextCallPutsTheLinkBackInStep)
{
    vsim_set_memory(unit_, 7, 0x55);
    vsim_set_memory(unit_, 8, 0x66);
    FT_SetTimeouts(handle_, 100, kWriteTimeoutMs);  // the time-out, shortened for the test
    vsim_late_reply(1, 300);
    vsim_clear_log();

    // The reply is late: one time-out, FT_IO_ERROR, and the call stops.
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0);
    EXPECT_EQ(status_, FT_IO_ERROR);
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 8), 0) << "an exchange after the stall";
    EXPECT_EQ(Calls(), kExchange) << "exchanges made after the unit stopped answering";
    EXPECT_EQ(step_, LinkStep::kOutOfStep);

    // The late reply arrives; the next call throws it away and reads the
    // unit's own answer to its own command, then checks nothing follows.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0x66);
    EXPECT_EQ(status_, FT_OK);
    EXPECT_EQ(Calls(), Join({kResync, kExchange, kConfirm}));
    EXPECT_EQ(step_, LinkStep::kConfirm) << "one reply checked of two";

    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 7), 0x55);
    EXPECT_EQ(Calls(), Join({kExchange, kConfirm}));
    EXPECT_EQ(step_, LinkStep::kInStep);

    // In step again: the plain exchange, nothing more.
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 7), 0x55);
    EXPECT_EQ(Calls(), kExchange);
}

TEST_F(Primitives, AUnitThatStallsAgainDuringRecoveryIsCaughtAtTheNextReply)
{
    vsim_set_memory(unit_, 7, 0x55);
    vsim_set_memory(unit_, 8, 0x66);
    FT_SetTimeouts(handle_, 100, kWriteTimeoutMs);
    vsim_late_reply(1, 300);  // comes after the drain of the next call,
    vsim_late_reply(2, 300);  // and the reply behind it is late as well
    ReadMemoryByte(&status_, *link_, 7);
    ASSERT_EQ(status_, FT_IO_ERROR);
    // This reply may be the late one, and nothing shows it yet; the one
    // after it comes with its successor behind it, which gives it away.
    ReadMemoryByte(&status_, NewCall(), 8);
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0);
    EXPECT_EQ(status_, FT_IO_ERROR) << "a shift was taken for an answer";
    // From there on the link is in step, and stays so.
    for (int call = 0; call < 4; ++call) {
        EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0x66) << call;
        EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0x55) << call;
        EXPECT_EQ(status_, FT_OK) << call;
    }
    EXPECT_EQ(step_, LinkStep::kInStep);
}

TEST_F(Primitives, AReplyLaterThanTheDrainIsCaughtBehindTheNextReply)
{
    vsim_set_memory(unit_, 7, 0x55);
    vsim_set_memory(unit_, 8, 0x66);
    FT_SetTimeouts(handle_, 100, kWriteTimeoutMs);
    vsim_late_reply(1, 400);
    ReadMemoryByte(&status_, *link_, 7);
    ASSERT_EQ(status_, FT_IO_ERROR);

    // At once: the line is quiet, yet the late reply is still on its way
    // and comes first. The reply behind it gives the shift away.
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0);
    EXPECT_EQ(status_, FT_IO_ERROR);
    EXPECT_EQ(step_, LinkStep::kOutOfStep);

    // And the call after that is in step.
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0x66);
    EXPECT_EQ(status_, FT_OK);
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 7), 0x55);
    EXPECT_EQ(step_, LinkStep::kInStep);
}

TEST_F(Primitives, AFailedCallGoesOnAndPutsTheLinkBackInStepFirst)
{
    vsim_set_memory(unit_, 7, 0x55);
    vsim_fail_call("FT_Read", 1, FT_OTHER_ERROR);
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0);
    EXPECT_FALSE(link_->stalled()) << "an error status is no stall: the call goes on";
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0x55);
    EXPECT_EQ(status_, FT_OTHER_ERROR) << "the first failure is kept";
    EXPECT_EQ(Calls(), Join({kExchange, kResync, kExchange, kConfirm}));

    // A link that cannot be put back in step sends nothing and stays out.
    step_ = LinkStep::kOutOfStep;
    NewCall();
    vsim_fail_call("FT_ResetDevice", 1, FT_IO_ERROR);
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0);
    EXPECT_EQ(status_, FT_IO_ERROR);
    EXPECT_EQ(Calls(), std::vector<std::string>{"FT_ResetDevice"});
    EXPECT_EQ(step_, LinkStep::kOutOfStep);
}

TEST(HandleTable, TokensAreFreshAndRecognised)
{
    HandleTable &table = HandleTable::Instance();
    int dummy = 0;
    const int first = table.Add(&dummy);
    ASSERT_TRUE(table.Remove(first));
    // Ten thousand open/close cycles never hand the closed token out again,
    // nor one that is still live.
    const int live = table.Add(&dummy);
    for (int i = 0; i < 10000; ++i) {
        const int token = table.Add(&dummy);
        ASSERT_NE(token, first);
        ASSERT_NE(token, live);
        ASSERT_GT(token, 0);
        ASSERT_TRUE(table.Remove(token));
    }
    ASSERT_TRUE(table.Acquire(live));
    table.Release(live);
    EXPECT_FALSE(table.Acquire(first));
    table.Remove(live);

    for (const std::intptr_t bad : {std::intptr_t{0}, std::intptr_t{-1}, std::intptr_t{INT_MAX} + 1,
                                    std::intptr_t{INT64_MIN}}) {
        EXPECT_FALSE(TokenFromArgument(reinterpret_cast<void *>(bad))) << bad;
    }
    EXPECT_EQ(TokenFromArgument(reinterpret_cast<void *>(std::intptr_t{INT_MAX})), INT_MAX);
}

TEST(HandleTable, AFullTableRefusesWithoutLosingAUnit)
{
    HandleTable &table = HandleTable::Instance();
    int dummy = 0;
    std::vector<int> tokens;
    for (int i = 0; i < HandleTable::kSlots; ++i) {
        tokens.push_back(table.Add(&dummy));
    }
    EXPECT_THROW(table.Add(&dummy), std::bad_alloc);
    for (const int token : tokens) {
        ASSERT_TRUE(table.Remove(token));
    }
    EXPECT_EQ(table.Size(), 0U);
}

TEST(HandleTable, ExceptionsNeverCrossTheExports)
{
    vsim_clear();
    vsim_add_unit("Vontrel", 1);
    vsim_add_unit("Vontrel", 2);
    // A table with no free slot: adding the first unit throws.
    HandleTable &table = HandleTable::Instance();
    int dummy = 0;
    std::vector<int> taken;
    while (table.Size() < static_cast<std::size_t>(HandleTable::kSlots)) {
        taken.push_back(table.Add(&dummy));
    }
    unsigned long status = 0;
    int found = -7;
    int handles[2] = {-7, -7};
    int serials[2] = {-7, -7};
    const int result = Vontrel_Open(&status, &found, handles, serials);
    for (const int token : taken) {
        table.Remove(token);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(status, FT_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(found, -7);
    EXPECT_EQ(handles[0], -7);
    EXPECT_EQ(serials[1], -7);
    EXPECT_EQ(vsim_open_handles(), 0) << "a unit opened by the failed call stayed open";
}

}  // namespace
}  // namespace vontrel
