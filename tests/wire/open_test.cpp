// SPDX-License-Identifier: MIT
// Vontrel_Open and Vontrel_Close over the simulated bench.
#include <climits>
#include <functional>

#include "tests/wire/sim_fixture.h"

namespace {

constexpr int kUntouched = -7;

struct OpenResult {
    int result = 0;
    unsigned long status = 0;
    int found = kUntouched;
    std::vector<int> handles;
    std::vector<int> serials;
};

OpenResult Open(std::size_t entries)
{
    OpenResult r;
    r.status = 99;
    r.handles.assign(entries, kUntouched);
    r.serials.assign(entries, kUntouched);
    r.result = Vontrel_Open(&r.status, &r.found, r.handles.data(), r.serials.data());
    return r;
}

void CloseAll(const OpenResult &r)
{
    for (int h : r.handles) {
        if (h != kUntouched) {
            Vontrel_Close(AsHandle(h));
        }
    }
}

TEST(Open, CallsAndFramesForOneUnit)
{
    // A unit whose replies carry their commands back is trusted on that;
    // one whose replies do not has both checked to have nothing behind them.
    const std::vector<std::string> setup = {
        "FT_ListDevices", "FT_ListDevices",           "FT_Open", "FT_ResetDevice", "FT_SetTimeouts",
        "FT_SetBaudRate", "FT_SetDataCharacteristics"};
    const std::vector<std::string> exchange = {"FT_Write", "FT_Read"};
    const std::vector<std::string> check = {"FT_SetTimeouts", "FT_Read", "FT_SetTimeouts"};
    for (const bool echoes : {true, false}) {
        vsim_clear();
        vsim_set_echo(vsim_add_unit("Vontrel", 0x1234), echoes);
        const OpenResult r = Open(1);
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(r.found, 1);
        EXPECT_EQ(r.serials[0], 0x1234) << echoes;
        EXPECT_GT(r.handles[0], 0);
        EXPECT_EQ(r.status, FT_OK);

        const std::vector<vsim_call> log = SimLog();
        std::vector<std::string> expected = setup;
        for (int read = 0; read < 2; ++read) {
            expected.insert(expected.end(), exchange.begin(), exchange.end());
            if (!echoes) {
                expected.insert(expected.end(), check.begin(), check.end());
            }
        }
        ASSERT_EQ(FunctionsCalled(), expected) << echoes;
        EXPECT_EQ(log[0].args[0], FT_LIST_NUMBER_ONLY);
        EXPECT_EQ(log[1].args[0], FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        EXPECT_EQ(log[1].args[1], 0u);
        EXPECT_EQ(log[2].args[0], 0u);
        EXPECT_EQ(log[4].args[0], 2000u);
        EXPECT_EQ(log[4].args[1], 2000u);
        EXPECT_EQ(log[5].args[0], 19230u);
        EXPECT_EQ(log[6].args[0], 8u);
        EXPECT_EQ(log[6].args[1], 0u);
        EXPECT_EQ(log[6].args[2], 0u);
        EXPECT_EQ(FramesSent(),
                  (std::vector<Bytes>{{0x00, 0x21, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x40},
                                      {0x00, 0x21, 0x0D, 0x01, 0x00, 0x00, 0x00, 0x40}}));
        EXPECT_EQ(log[8].byte_count, 8u);
        if (!echoes) {
            // Nothing came behind the first reply within 50 ms.
            EXPECT_EQ(log[9].args[0], 50u);
            EXPECT_EQ(log[10].byte_count, 0u);
            EXPECT_EQ(log[11].args[0], 2000u);
        }
        CloseAll(r);
        EXPECT_EQ(vsim_open_handles(), 0);
    }
}

// Another program sent a frame and closed the converter without its reply
// (it gave up at a time-out): the unit still owes it, and it comes late,
// after the open's reset. `address` is the memory read that program sent.
void LeaveAReplyOwed(std::uint16_t address, unsigned long late_ms, const vsim_stall *train,
                     std::size_t stalls)
{
    FT_HANDLE other = nullptr;
    ASSERT_EQ(FT_Open(0, &other), FT_OK);
    FT_SetBaudRate(other, 19230);
    FT_SetDataCharacteristics(other, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    vsim_late_train(-1, 1, late_ms, train, stalls);
    unsigned char frame[8] = {0x00, 0x21, 0x0D, static_cast<unsigned char>(address), 0, 0, 0, 0x40};
    DWORD written = 0;
    ASSERT_EQ(FT_Write(other, frame, 8, &written), FT_OK);
    FT_Close(other);
}

TEST(Open, AUnitThatOwesAReplyAndStallsAgainIsNotTrusted)
{
    // The owed reply is 300 ms late, and the unit stands still 60 ms more
    // right after: the first reply read is the owed one. A unit that echoes
    // gives it away by its echo, whichever address it was for; one that
    // does not, by the reply that comes behind it.
    const vsim_stall again[] = {{0, 60}};
    struct Case {
        bool echoes;
        std::uint16_t owed_address;
    };
    for (const Case c : {Case{true, 0}, Case{true, 1}, Case{true, 7}, Case{false, 0}}) {
        const std::string what = std::string(c.echoes ? "echoes" : "no echo") + ", owed " +
                                 std::to_string(c.owed_address);
        vsim_clear();
        vsim_set_echo(vsim_add_unit("Vontrel", 0x1234), c.echoes);
        LeaveAReplyOwed(c.owed_address, 300, again, 1);
        const OpenResult r = Open(1);
        EXPECT_EQ(r.result, 0) << what;
        EXPECT_EQ(r.found, 1) << what;
        EXPECT_EQ(r.serials[0], kUntouched) << what << ": opened on a reply owed to another";
        EXPECT_EQ(r.status, FT_IO_ERROR) << what;
        EXPECT_EQ(vsim_open_handles(), 0) << what;
        // Each failed open leaves its own replies owed in turn; an open
        // either refuses the unit or has its serial number right, and one
        // soon opens it.
        int tries = 0;
        for (bool opened = false; !opened && tries < 8; ++tries) {
            const OpenResult next = Open(1);
            opened = next.serials[0] != kUntouched;
            if (opened) {
                EXPECT_EQ(next.serials[0], 0x1234) << what;
                EXPECT_EQ(next.status, FT_OK) << what;
            }
            CloseAll(next);
        }
        EXPECT_LT(tries, 8) << what << ": the unit never opened again";
        vsim_clear_faults();
    }
}

// Benches and what Open reports for them. Entries are per enumeration
// index; kUntouched means the entry was not written.
struct BenchCase {
    const char *what;
    std::function<void()> build;
    int result;
    int found;
    std::vector<int> serials;
    unsigned long status;
};

TEST(Open, Benches)
{
    const BenchCase cases[] = {
        {"no converter", [] {}, -1, kUntouched, {kUntouched}, FT_OK},
        {"a non-unit before a unit",
         [] {
             vsim_add_converter("USB Serial");
             vsim_add_unit("Vontrel", 4660);
         },
         0,
         1,
         {kUntouched, 4660},
         FT_OK},
        {"only the first character is compared",
         [] { vsim_add_unit("Vxyz", 77); },
         0,
         1,
         {77},
         FT_OK},
        {"an empty description does not match",
         [] { vsim_add_converter(""); },
         0,
         0,
         {kUntouched},
         FT_OK},
        {"a lower-case v does not match",
         [] { vsim_add_unit("vontrel", 5); },
         0,
         0,
         {kUntouched},
         FT_OK},
        {"a 'V' converter that never answers is counted but gets no entry",
         [] {
             vsim_add_converter("Vintage adapter");
             vsim_add_unit("Vontrel", 9);
         },
         0,
         2,
         {kUntouched, 9},
         FT_OK},
        {"a unit that is already open elsewhere",
         [] {
             vsim_add_unit("Vontrel", 1);
             vsim_add_unit("Vontrel", 2);
             FT_HANDLE h = nullptr;
             FT_Open(0, &h);  // held by someone else
         },
         0,
         2,
         {kUntouched, 2},
         FT_OK},
        {"count query fails and writes no count",
         [] {
             vsim_add_unit("Vontrel", 1);
             vsim_fail_call("FT_ListDevices", 1, FT_IO_ERROR);
         },
         -1,
         kUntouched,
         {kUntouched},
         FT_IO_ERROR},
        {"count query fails after reporting a count",
         [] {
             vsim_add_unit("Vontrel", 1);
             vsim_fail_call_after("FT_ListDevices", 1, FT_OTHER_ERROR);
         },
         -2,
         kUntouched,
         {kUntouched},
         FT_OTHER_ERROR},
        {"a description query fails: that index is skipped",
         [] {
             vsim_add_unit("Vontrel", 1);
             vsim_add_unit("Vontrel", 2);
             vsim_fail_call("FT_ListDevices", 2, FT_DEVICE_NOT_FOUND);
         },
         0,
         1,
         {kUntouched, 2},
         FT_OK},
    };
    for (const BenchCase &c : cases) {
        vsim_clear();
        c.build();
        vsim_clear_log();
        const OpenResult r = Open(c.serials.size());
        EXPECT_EQ(r.result, c.result) << c.what;
        EXPECT_EQ(r.found, c.found) << c.what;
        EXPECT_EQ(r.serials, c.serials) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        for (std::size_t i = 0; i < c.serials.size(); ++i) {
            EXPECT_EQ(r.handles[i] == kUntouched, c.serials[i] == kUntouched) << c.what << " " << i;
        }
        CloseAll(r);
        vsim_clear_faults();
    }
}

// A failure at each step of opening a unit: the unit is still counted,
// gets no entry, is closed again, and the walk goes on to the next index.
TEST(Open, FailureAtEachStepOfAUnit)
{
    struct Step {
        const char *function;
        long nth;       // which call of that function, counted from the walk's start
        long per_unit;  // how many calls of it opening one unit makes
    };
    // A unit that echoes: no check behind its replies.
    const Step steps[] = {{"FT_Open", 1, 1},
                          {"FT_ResetDevice", 1, 1},
                          {"FT_SetTimeouts", 1, 1},
                          {"FT_SetBaudRate", 1, 1},
                          {"FT_SetDataCharacteristics", 1, 1},
                          {"FT_Write", 1, 2},
                          {"FT_Read", 1, 2},
                          {"FT_Write", 2, 2},
                          {"FT_Read", 2, 2}};
    for (const Step &step : steps) {
        for (const bool last : {false, true}) {
            vsim_clear();
            // The failing unit is first, or last (where its failure stays in *status).
            if (last) {
                vsim_add_unit("Vontrel", 11);
            }
            vsim_add_unit("Vontrel", 22);
            if (!last) {
                vsim_add_unit("Vontrel", 11);
            }
            const int failing = last ? 1 : 0;
            const long nth = last ? step.nth + step.per_unit : step.nth;
            vsim_fail_call(step.function, nth, FT_IO_ERROR);
            const OpenResult r = Open(2);
            const std::string what = std::string(step.function) + " #" + std::to_string(step.nth) +
                                     (last ? " on the last unit" : " on the first unit");
            EXPECT_EQ(r.result, 0) << what;
            EXPECT_EQ(r.found, 2) << what;
            EXPECT_EQ(r.handles[failing], kUntouched) << what;
            EXPECT_EQ(r.serials[failing], kUntouched) << what;
            EXPECT_NE(r.handles[1 - failing], kUntouched) << what;
            EXPECT_EQ(r.serials[1 - failing], 11) << what;
            EXPECT_EQ(r.status, last ? FT_IO_ERROR : FT_OK) << what;
            EXPECT_EQ(vsim_open_handles(), 1) << what << ": the failed unit was left open";
            CloseAll(r);
            EXPECT_EQ(vsim_open_handles(), 0) << what;
            vsim_clear_faults();
        }
    }
}

TEST(Open, ShortSerialReadIsAFailure)
{
    // The reads of the low and the high byte.
    for (const long nth : {1, 2}) {
        vsim_clear();
        vsim_add_unit("Vontrel", 0x1234);
        vsim_short_read(nth, 4);
        const OpenResult r = Open(1);
        EXPECT_EQ(r.result, 0) << nth;
        EXPECT_EQ(r.found, 1) << nth;
        EXPECT_EQ(r.serials[0], kUntouched) << nth;
        EXPECT_EQ(r.status, FT_IO_ERROR) << nth;
        EXPECT_EQ(vsim_open_handles(), 0) << nth;
    }
}

TEST(Open, NullPointersMakeNoCall)
{
    vsim_clear();
    vsim_add_unit("Vontrel", 1);
    vsim_clear_log();
    unsigned long status = 0;
    int found = kUntouched;
    int handles[1] = {kUntouched};
    int serials[1] = {kUntouched};
    EXPECT_EQ(Vontrel_Open(nullptr, &found, handles, serials), -1);
    EXPECT_EQ(Vontrel_Open(&status, nullptr, handles, serials), -1);
    EXPECT_EQ(status, FT_INVALID_PARAMETER);
    status = 0;
    EXPECT_EQ(Vontrel_Open(&status, &found, nullptr, serials), -1);
    EXPECT_EQ(status, FT_INVALID_PARAMETER);
    status = 0;
    EXPECT_EQ(Vontrel_Open(&status, &found, handles, nullptr), -1);
    EXPECT_EQ(status, FT_INVALID_PARAMETER);
    EXPECT_EQ(vsim_log_size(), 0u);
    EXPECT_EQ(found, kUntouched);
    EXPECT_EQ(handles[0], kUntouched);
}

TEST(Close, ReturnsTheConverterStatusAndRefusesStaleTokens)
{
    vsim_clear();
    vsim_add_unit("Vontrel", 1);
    vsim_add_unit("Vontrel", 2);
    OpenResult a = Open(2);
    ASSERT_EQ(a.result, 0);
    vsim_clear_log();

    vsim_fail_call("FT_Close", 1, FT_OTHER_ERROR);
    EXPECT_EQ(Vontrel_Close(AsHandle(a.handles[0])), static_cast<int>(FT_OTHER_ERROR));
    EXPECT_EQ(Vontrel_Close(AsHandle(a.handles[1])), static_cast<int>(FT_OK));
    EXPECT_EQ(FunctionsCalled(), (std::vector<std::string>{"FT_Close", "FT_Close"}));

    vsim_clear();
    vsim_add_unit("Vontrel", 3);
    const OpenResult b = Open(1);
    ASSERT_EQ(b.result, 0);
    vsim_clear_log();
    for (const std::intptr_t bad :
         {std::intptr_t{a.handles[0]}, std::intptr_t{a.handles[1]}, std::intptr_t{0},
          std::intptr_t{-1}, std::intptr_t{INT_MAX}, std::intptr_t{0x7FFF0000DEAD}}) {
        EXPECT_EQ(Vontrel_Close(reinterpret_cast<void *>(bad)), static_cast<int>(FT_INVALID_HANDLE))
            << bad;
    }
    EXPECT_EQ(vsim_log_size(), 0u) << "an unknown handle reached the converter library";
    EXPECT_EQ(Vontrel_Close(AsHandle(b.handles[0])), static_cast<int>(FT_OK));
    EXPECT_EQ(Vontrel_Close(AsHandle(b.handles[0])), static_cast<int>(FT_INVALID_HANDLE));
}

// More converters than the documented maximum: nothing is written at or
// beyond it, so arrays of VONTREL_MAX_CONVERTERS entries are enough.
TEST(Open, WalksNoIndexBeyondTheMaximum)
{
    vsim_clear();
    for (int i = 0; i < VONTREL_MAX_CONVERTERS + 3; ++i) {
        vsim_add_unit("Vontrel", static_cast<std::uint16_t>(i));
    }
    OpenResult r = Open(VONTREL_MAX_CONVERTERS + 3);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.found, VONTREL_MAX_CONVERTERS);
    EXPECT_EQ(r.serials[VONTREL_MAX_CONVERTERS - 1], VONTREL_MAX_CONVERTERS - 1);
    for (int i = VONTREL_MAX_CONVERTERS; i < VONTREL_MAX_CONVERTERS + 3; ++i) {
        EXPECT_EQ(r.handles[i], kUntouched) << i;
        EXPECT_EQ(r.serials[i], kUntouched) << i;
    }
    EXPECT_EQ(vsim_open_handles(), VONTREL_MAX_CONVERTERS);
    CloseAll(r);
}

TEST(Open, DefaultBenchHasTwoUnitsAndAnotherConverter)
{
    vsim_load_default_bench();
    const OpenResult r = Open(3);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.found, 2);
    EXPECT_EQ(r.serials, (std::vector<int>{4660, kUntouched, 12345}));
    CloseAll(r);
}

}  // namespace

namespace {

// The call log keeps the latest VSIM_LOG_CAPACITY calls: a process that
// calls for ever does not grow, and what a test reads back is the latest.
TEST(CallLog, KeepsOnlyTheLatestCalls)
{
    vsim_clear();
    vsim_add_unit("Vontrel", 1);
    constexpr long kEarly = 10;
    for (long i = 0; i < kEarly; ++i) {
        FT_Close(nullptr);
    }
    DWORD count = 0;
    for (long i = 0; i < VSIM_LOG_CAPACITY; ++i) {
        FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    }
    EXPECT_EQ(vsim_call_count(), VSIM_LOG_CAPACITY + kEarly);
    ASSERT_EQ(vsim_log_size(), static_cast<std::size_t>(VSIM_LOG_CAPACITY));
    const std::vector<vsim_call> log = SimLog();
    EXPECT_STREQ(log.front().function, "FT_ListDevices") << "the oldest calls were kept";

    FT_Close(nullptr);
    ASSERT_EQ(vsim_log_size(), static_cast<std::size_t>(VSIM_LOG_CAPACITY));
    vsim_call last{};
    ASSERT_EQ(vsim_log_entry(VSIM_LOG_CAPACITY - 1, &last), 0);
    EXPECT_STREQ(last.function, "FT_Close");
    vsim_clear_log();
    EXPECT_EQ(vsim_log_size(), 0U);
}

}  // namespace
