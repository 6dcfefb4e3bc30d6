// SPDX-License-Identifier: MIT
// Trains of stalls: one stall past the read time-out, then one to three
// short ones (30 to 300 ms) starting 0 to 20 ms after the unit resumes,
// which once left the link one reply behind for good. Each is run against a
// twin unit that never stalls (tests/reliability/stall_oracle.h): no call
// that reports FT_OK may return a value the unit did not hold, and no
// read-modify-write may store a byte from a shifted read. Run with the
// link's timing (VONTREL_SIM_TIMING=1, a ctest entry of its own): a stall
// that begins while a reply is on the wire is what defeated a link that
// trusted silence.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/reliability/stall_oracle.h"

namespace {

struct Case {
    const char *name;  // the case's name in the test's
    const char *what;
    bool echoes;
    stall_oracle::Train train;
};

// Two trains met by units that echo and by units that do not.
const stall_oracle::Train kReadBackThenTwo{5, 2300, {{0, 60}, {20, 300}}};
const stall_oracle::Train kWriteOutThenThree{24, 2400, {{5, 120}, {10, 250}, {15, 80}}};

// Each train is a case of its own (several seconds each), so that ctest can
// run them side by side.
const Case kCases[] = {
    {"ReadBackThenTwo", "a read-back's 5th reply, then 60 and 300 ms at 0 and 20 ms", true,
     kReadBackThenTwo},
    {"IdentityReadThenOneAtOnce",
     "the first reply of an identity read, then 30 ms at once",
     true,
     {15, 2200, {{0, 30}}}},
    {"ReadBackSecondReplyThenTwo",
     "a read-back's 2nd reply, then 120 and 200 ms at once and 2 ms after",
     true,
     {2, 2300, {{0, 120}, {2, 200}}}},
    {"IdentityReadThenThreeWithoutEcho",
     "an identity read's 3rd reply, then 150, 90 and 60 ms within 10 ms",
     false,
     {16, 2200, {{3, 150}, {0, 90}, {10, 60}}}},
    {"WriteOutThenThree", "a write-out's reply, then three at 5, 10 and 15 ms", true,
     kWriteOutThenThree},
    {"LockDetectThenOne", "lock detect, then 200 ms at 2 ms", true, {28, 2100, {{2, 200}}}},
    {"ReadBackThenTwoWithoutEcho", "a unit that does not echo: a read-back, then 60 and 300 ms",
     false, kReadBackThenTwo},
    {"WriteOutThenThreeWithoutEcho", "a unit that does not echo: a write-out, then three", false,
     kWriteOutThenThree},
};

// A case is shown by its description (not its bytes, padding and all).
void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.what;
}

class StallTrains : public ::testing::TestWithParam<Case> {};

TEST_P(StallTrains, NoCallReportsAValueTheUnitDidNotHold)
{
    const Case &c = GetParam();
    stall_oracle::Bench bench(c.echoes);
    ASSERT_TRUE(bench.ok()) << c.what;
    const stall_oracle::Counts n = bench.Run(c.train, 16, 400);
    EXPECT_EQ(n.wrong, 0) << c.what << ": first wrong: " << n.first_wrong;
    EXPECT_EQ(n.memory_changed, 0) << c.what << ": a settings byte came from a shifted read";
    EXPECT_GT(n.failed, 0) << c.what << ": the stall was not met";
    EXPECT_GE(n.recovery_ms, 0) << c.what << ": no right answer after the train";
    EXPECT_GT(n.ok, 8) << c.what;
}

INSTANTIATE_TEST_SUITE_P(, StallTrains, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
