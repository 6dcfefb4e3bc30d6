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
    // The link as the next export call sees it: the unit's books kept, the
    // call's own state new, *status FT_OK.
    Link &NewCall()
    {
        link_ = std::make_unique<Link>(handle_, books_);
        status_ = FT_OK;
        return *link_;
    }
    // A unit whose link is in step, as after a call where all went well;
    // its replies are checked for their echo when `echoes`.
    Link &InStep(bool echoes = false)
    {
        books_.Reset(echoes);
        return NewCall();
    }
    LinkStep Step() const { return books_.step.load(); }
    int unit_ = 0;
    FT_HANDLE handle_ = nullptr;
    LinkBooks books_;
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
    // From a unit not seen to echo, a reply whose markers, echo and other
    // bytes are all wrong still counts.
    const unsigned char odd[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x7B, 0xEE, 0xEE};
    vsim_replace_response(1, odd);
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 300), 0x7B);
    EXPECT_EQ(status_, FT_OK);
}

TEST_F(Primitives, OnAUnitThatEchoesAReplyToAnotherCommandIsRefused)
{
    vsim_set_memory(unit_, 300, 0xC8);
    EXPECT_EQ(ReadMemoryByte(&status_, InStep(true), 300), 200) << "its own echo passes";
    EXPECT_EQ(status_, FT_OK);
    struct Case {
        const char *what;
        std::array<unsigned char, 8> reply;
    };
    const Case cases[] = {
        {"another address", {0x00, 0x23, 0x0D, 0x2D, 0x00, 0x07, 0x00, 0x24}},
        {"another page", {0x00, 0x23, 0x0D, 0x2C, 0x02, 0x07, 0x00, 0x24}},
        {"another command", {0x00, 0x23, 0x0B, 0x2C, 0x01, 0x07, 0x00, 0x24}},
    };
    for (const Case &c : cases) {
        vsim_replace_response(1, c.reply.data());
        EXPECT_EQ(ReadMemoryByte(&status_, InStep(true), 300), 0) << c.what;
        EXPECT_EQ(status_, FT_IO_ERROR) << c.what;
        EXPECT_EQ(Step(), LinkStep::kOutOfStep) << c.what;
        EXPECT_TRUE(link_->stalled()) << c.what;
    }
    // Only the code and, for memory, the address are looked at.
    const unsigned char own[8] = {0xEE, 0xEE, 0x0D, 0x2C, 0x01, 0x7B, 0xEE, 0xEE};
    vsim_replace_response(1, own);
    EXPECT_EQ(ReadMemoryByte(&status_, InStep(true), 300), 0x7B);
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
        LinkStep step;  // after it: a debt to read, or books that cannot balance
    };
    const Case cases[] = {
        {"write fails",
         [] { vsim_fail_call("FT_Write", 1, FT_IO_ERROR); },
         FT_IO_ERROR,
         0,
         -1,
         {"FT_Write"},
         LinkStep::kOutOfStep},
        {"read fails",
         [] { vsim_fail_call("FT_Read", 1, FT_OTHER_ERROR); },
         FT_OTHER_ERROR,
         0,
         -2,
         {"FT_Write", "FT_Read"},
         LinkStep::kOutOfStep},
        {"read comes short",
         [] { vsim_short_read(1, 5); },
         FT_IO_ERROR,
         0,
         -2,
         {"FT_Write", "FT_Read"},
         LinkStep::kOwed},
        {"write comes short",
         [] { vsim_short_write(1, 5); },
         FT_IO_ERROR,
         0,
         -1,
         {"FT_Write"},
         LinkStep::kOutOfStep},
        {"read delivers nothing",
         [] { vsim_short_read(1, 0); },
         FT_IO_ERROR,
         0,
         -2,
         {"FT_Write", "FT_Read"},
         LinkStep::kOwed},
    };
    vsim_set_memory(unit_, 7, 0x55);
    for (const Case &c : cases) {
        vsim_clear_log();
        c.arm();
        EXPECT_EQ(ReadMemoryByte(&status_, InStep(), 7), c.memory_read) << c.what;
        EXPECT_EQ(status_, c.status) << c.what;
        EXPECT_EQ(Calls(), c.calls) << c.what;
        EXPECT_EQ(Step(), c.step) << c.what;

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
const std::vector<std::string> kDrain = {"FT_Read"};  // what is owed
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

TEST_F(Primitives, AStallLeavesADebtThatTheNextCallReadsFirstWithoutAPurge)
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
    EXPECT_EQ(Step(), LinkStep::kOwed);
    EXPECT_EQ(books_.owed.load(), 8);

    // The next call reads the 8 bytes owed, however late they come within
    // its time-out, and then its own reply: no purge, no wait after.
    FT_SetTimeouts(handle_, kReadTimeoutMs, kWriteTimeoutMs);
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0x66);
    EXPECT_EQ(status_, FT_OK);
    EXPECT_EQ(Calls(), Join({kDrain, kExchange}));
    EXPECT_EQ(Step(), LinkStep::kInStep);

    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 7), 0x55);
    EXPECT_EQ(Calls(), kExchange);
}

TEST_F(Primitives, APartReplyIsOwedOnlyItsRest)
{
    vsim_set_memory(unit_, 7, 0x55);
    vsim_set_memory(unit_, 8, 0x66);
    FT_SetTimeouts(handle_, 100, kWriteTimeoutMs);
    vsim_late_reply(1, 1500);  // well after the first two waits, even on a loaded machine
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0);
    ASSERT_EQ(Step(), LinkStep::kOwed);
    // A drain that times out keeps the debt and fails the call without a
    // frame; the one after it, with the reply there, balances the books.
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0);
    EXPECT_EQ(status_, FT_IO_ERROR);
    EXPECT_EQ(Step(), LinkStep::kOwed);
    FT_SetTimeouts(handle_, kReadTimeoutMs, kWriteTimeoutMs);
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0x66);
    EXPECT_EQ(status_, FT_OK);
    EXPECT_EQ(Step(), LinkStep::kInStep);
}

TEST_F(Primitives, ADebtThatNeverComesIsWrittenOffAndTheLinkPurgedAndChecked)
{
    vsim_set_memory(unit_, 7, 0x55);
    FT_SetTimeouts(handle_, 60, kWriteTimeoutMs);
    vsim_short_read(1, 3);  // the rest of that reply is lost
    ReadMemoryByte(&status_, *link_, 7);
    ASSERT_EQ(Step(), LinkStep::kOwed);
    EXPECT_EQ(books_.owed.load(), 5);
    for (int drain = 1; drain <= kWriteOffDrains; ++drain) {
        vsim_clear_log();
        EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 7), 0) << drain;
        EXPECT_EQ(status_, FT_IO_ERROR) << drain;
        EXPECT_EQ(Calls(), kDrain) << drain;
    }
    EXPECT_EQ(Step(), LinkStep::kOutOfStep);
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 7), 0x55);
    EXPECT_EQ(status_, FT_OK);
    EXPECT_EQ(Calls(), Join({kResync, kExchange, kConfirm})) << "a unit that does not echo";
    EXPECT_EQ(Step(), LinkStep::kConfirm);
}

TEST_F(Primitives, ATrainOfStallsNeverShiftsTheLink)
{
    // One stall, then short ones soon after the unit resumes: each reply
    // that comes short is owed, and read before the next frame.
    FT_SetTimeouts(handle_, 100, kWriteTimeoutMs);
    const vsim_stall train[] = {{0, 150}, {10, 120}, {5, 90}};
    vsim_late_train(unit_, 1, 300, train, 3);
    int right = 0;
    const auto over = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (int call = 0; call < 40 || std::chrono::steady_clock::now() < over; ++call) {
        const std::uint16_t address = static_cast<std::uint16_t>(100 + call % 5);
        vsim_set_memory(unit_, address, static_cast<std::uint8_t>(call + 1));
        const int value = ReadMemoryByte(&status_, NewCall(), address);
        if (status_ == FT_OK) {
            EXPECT_EQ(value, (call + 1) & 0xFF) << "call " << call << ": a reply owed to another";
            ++right;
        }
    }
    EXPECT_GT(right, 20);
    EXPECT_EQ(Step(), LinkStep::kInStep);
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

    // On a unit that echoes, the echo checks every reply: no wait after.
    InStep(true);
    vsim_fail_call("FT_Read", 1, FT_OTHER_ERROR);
    vsim_clear_log();
    ReadMemoryByte(&status_, *link_, 7);
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0x55);
    EXPECT_EQ(Calls(), Join({kExchange, kResync, kExchange}));
    EXPECT_EQ(Step(), LinkStep::kInStep);

    // A link that cannot be put back in step sends nothing and stays out.
    books_.step = LinkStep::kOutOfStep;
    NewCall();
    vsim_fail_call("FT_ResetDevice", 1, FT_IO_ERROR);
    vsim_clear_log();
    EXPECT_EQ(ReadMemoryByte(&status_, *link_, 7), 0);
    EXPECT_EQ(status_, FT_IO_ERROR);
    EXPECT_EQ(Calls(), std::vector<std::string>{"FT_ResetDevice"});
    EXPECT_EQ(Step(), LinkStep::kOutOfStep);
}

TEST_F(Primitives, AReplyThatComesAfterAPurgeIsCaught)
{
    // A frame goes out but its write reports an error, and its reply comes
    // after the purge's quiet time: the books could not be kept, so the
    // link is checked. A unit that does not echo gives it away by the
    // reply behind it; one that echoes by the reply itself.
    vsim_set_memory(unit_, 7, 0x55);
    vsim_set_memory(unit_, 8, 0x66);
    for (const bool echoes : {false, true}) {
        InStep(echoes);
        vsim_fail_call_after("FT_Write", 1, FT_IO_ERROR);
        vsim_late_reply(1, 600);  // well after the purge's quiet time
        ReadMemoryByte(&status_, *link_, 7);
        ASSERT_EQ(Step(), LinkStep::kOutOfStep);
        EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0) << echoes;
        EXPECT_EQ(status_, FT_IO_ERROR) << echoes << ": a late reply taken for an answer";
        EXPECT_EQ(Step(), LinkStep::kOutOfStep) << echoes;
        EXPECT_EQ(ReadMemoryByte(&status_, NewCall(), 8), 0x66) << echoes;
        EXPECT_EQ(status_, FT_OK) << echoes;
    }
}

TEST(HandleTable, TokensAreFreshAndRecognised)
{
    HandleTable &table = HandleTable::Instance();
    int dummy = 0;
    const int first = table.Add(&dummy, true);
    ASSERT_TRUE(table.Remove(first));
    // Ten thousand open/close cycles never hand the closed token out again,
    // nor one that is still live.
    const int live = table.Add(&dummy, true);
    for (int i = 0; i < 10000; ++i) {
        const int token = table.Add(&dummy, true);
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
        tokens.push_back(table.Add(&dummy, true));
    }
    EXPECT_THROW(table.Add(&dummy, true), std::bad_alloc);
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
        taken.push_back(table.Add(&dummy, true));
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
