// SPDX-License-Identifier: MIT
// The VXI-11 server's RPC framing on good and bad records: each call gets
// its reply or its RPC error, and nothing that comes in can make the
// decoder read past its record.
#include <gtest/gtest.h>

#include <string>

#include "frontends/vxi11/rpc.h"

namespace vontrel::serve::rpc {
namespace {

constexpr ProgramId kProgram{0x0607AF, 1};

std::string Words(std::initializer_list<std::uint32_t> words)
{
    XdrWriter w;
    for (const std::uint32_t v : words) {
        w.U32(v);
    }
    return std::move(w.data());
}

// A call header: xid 7, RPC version `rpc`, no credentials.
std::string CallOf(std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                   std::uint32_t rpc = 2)
{
    return Words({7, 0, rpc, program, version, procedure, 0, 0, 0, 0});
}

// Procedure 1 echoes its one number; procedure 2 takes a string of at most 4.
AcceptStat Echo(const Call &call, XdrReader &args, XdrWriter &out)
{
    if (call.procedure == 1) {
        out.U32(args.U32());
        return AcceptStat::kSuccess;
    }
    if (call.procedure == 2) {
        out.Opaque(args.Opaque(4));
        return AcceptStat::kSuccess;
    }
    return AcceptStat::kProcUnavail;
}

TEST(Rpc, EachRecordGetsItsReplyOrItsError)
{
    const std::string accepted = Words({7, 1, 0, 0, 0});  // xid, reply, accepted, no verifier
    const struct {
        const char *what;
        std::string record, reply;
    } cases[] = {
        {"a good call", CallOf(0x0607AF, 1, 1) + Words({42}), accepted + Words({0, 42})},
        {"a string", CallOf(0x0607AF, 1, 2) + Words({3}) + "abc" + std::string(1, '\0'),
         accepted + Words({0, 3}) + "abc" + std::string(1, '\0')},
        {"wrong program", CallOf(0x0607B0, 1, 1) + Words({42}), accepted + Words({1})},
        {"wrong version", CallOf(0x0607AF, 3, 1), accepted + Words({2, 1, 1})},
        {"unknown procedure", CallOf(0x0607AF, 1, 99), accepted + Words({3})},
        {"arguments missing", CallOf(0x0607AF, 1, 1), accepted + Words({4})},
        {"string longer than allowed", CallOf(0x0607AF, 1, 2) + Words({5}) + "abcde   ",
         accepted + Words({4})},
        {"string past the record's end", CallOf(0x0607AF, 1, 2) + Words({4}) + "ab",
         accepted + Words({4})},
        {"credentials past the end", Words({7, 0, 2, 0x0607AF, 1, 1, 0, 1000}),
         accepted + Words({4})},
        {"header cut short", Words({7, 0, 2, 0x0607AF}), accepted + Words({4})},
        {"RPC version 3", CallOf(0x0607AF, 1, 1, 3), Words({7, 1, 1, 0, 2, 2})},
        {"a reply, not a call", Words({7, 1, 0}), ""},
        {"no transaction id", std::string("\1\2", 2), ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Answer(c.record, kProgram, Echo), c.reply) << c.what;
    }
}

TEST(Rpc, RecordsComeWholeFromTheirFragments)
{
    const std::string first = Words({4}) + "abcd";        // not the last fragment
    const std::string last = Words({0x80000002}) + "ef";  // the last
    std::string stream = first + last.substr(0, 5);
    EXPECT_FALSE(NextRecord(stream));  // not whole yet
    stream += last.substr(5) + Framed("gh");
    EXPECT_EQ(NextRecord(stream), "abcdef");
    EXPECT_EQ(NextRecord(stream), "gh");
    EXPECT_TRUE(stream.empty());
    EXPECT_FALSE(NextRecord(stream));

    std::string huge = Words({0x80000000U | static_cast<std::uint32_t>(kMaxRecordBytes + 1)});
    EXPECT_THROW(NextRecord(huge), Garbage);
    // Fragments that add up past the limit, each small.
    std::string many;
    for (std::size_t total = 0; total <= kMaxRecordBytes; total += 0x10000) {
        many += Words({0x10000}) + std::string(0x10000, 'x');
    }
    EXPECT_THROW(NextRecord(many), Garbage);
    // Empty fragments that never end the record: their marks alone must
    // not grow the stream without bound.
    std::string empty;
    for (std::size_t total = 0; total <= kMaxRecordBytes; total += 4) {
        empty += Words({0});
    }
    EXPECT_THROW(NextRecord(empty), Garbage);
}

}  // namespace
}  // namespace vontrel::serve::rpc
