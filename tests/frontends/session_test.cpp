// SPDX-License-Identifier: MIT
// The pieces every front end keeps its sessions' promises with: the answer
// queue, the connection caps, and RPC records read as they come.
#include <gtest/gtest.h>

#include <string>

#include "frontends/net/session.h"
#include "frontends/vxi11/rpc.h"

namespace vontrel::net {
namespace {

TEST(AnswerQueue, ANewMessageDropsWhatWasNotReadAndTheCapEndsTheSession)
{
    AnswerQueue q;
    EXPECT_TRUE(q.Add("1\n"));
    EXPECT_TRUE(q.Add("2\n"));
    EXPECT_FALSE(q.Take(1));            // "1" begun
    EXPECT_EQ(q.DropUnread(true), 1U);  // the raw port keeps what has begun to leave
    EXPECT_EQ(q.Front(), "\n");
    EXPECT_EQ(q.Bytes(), 1U);
    EXPECT_EQ(q.DropUnread(false), 1U);  // a VXI-11 link drops it too
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.Bytes(), 0U);

    const std::string answer(kMaxOutputBytes / 4, 'x');
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(q.Add(answer)) << i;
    }
    EXPECT_FALSE(q.Add("1\n"));  // one byte past the cap
    EXPECT_TRUE(q.OverLimit());
}

TEST(ConnectionGate, CapsPerServerAndPerKeyAndGivesPlacesBack)
{
    ConnectionGate gate(3, 2, "connections");
    std::string why;
    auto a = gate.Admit("unit 1", why);
    auto b = gate.Admit("unit 1", why);
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(gate.Admit("unit 1", why));
    EXPECT_EQ(why, "refused: unit 1 already has 2 connections");
    auto c = gate.Admit("unit 2", why);
    ASSERT_TRUE(c);
    EXPECT_FALSE(gate.Admit("unit 3", why));
    EXPECT_EQ(why, "refused: the server already serves 3 connections");
    a.reset();  // its place goes with it
    EXPECT_TRUE(gate.Admit("unit 3", why));
}

}  // namespace
}  // namespace vontrel::net

namespace vontrel::serve::rpc {
namespace {

std::string Mark(std::uint32_t word)
{
    return {static_cast<char>(word >> 24), static_cast<char>(word >> 16),
            static_cast<char>(word >> 8), static_cast<char>(word)};
}

TEST(RecordReader, TakesRecordsHoweverTheStreamIsCut)
{
    const std::string stream = Mark(3) + "abc" + Mark(0x80000002U) + "de" + Mark(0x80000001U) + "f";
    RecordReader reader;
    std::vector<std::string> records;
    for (const char byte : stream) {  // one byte at a time
        reader.Append(std::string(1, byte));
        while (auto record = reader.Next()) {
            records.push_back(*record);
        }
    }
    EXPECT_EQ(records, (std::vector<std::string>{"abcde", "f"}));
}

TEST(RecordReader, EmptyFragmentsWithoutEndAreRefusedAtOnce)
{
    // 240,000 empty fragments, four bytes at a time, once cost seconds of
    // CPU: the record is refused at its 257th fragment.
    RecordReader reader;
    bool refused = false;
    int fed = 0;
    for (; fed < 240000 && !refused; ++fed) {
        reader.Append(Mark(0));
        try {
            (void)reader.Next();
        } catch (const Garbage &) {
            refused = true;
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(fed, static_cast<int>(kMaxFragments) + 1);
}

}  // namespace
}  // namespace vontrel::serve::rpc
