// SPDX-License-Identifier: MIT
// XDR, record marking and the RPC call and reply headers.
#include "frontends/vxi11/rpc.h"

namespace vontrel::serve::rpc {
namespace {

constexpr std::uint32_t kCall = 0;
constexpr std::uint32_t kReply = 1;
constexpr std::uint32_t kRpcVersion = 2;
constexpr std::uint32_t kMsgAccepted = 0;
constexpr std::uint32_t kMsgDenied = 1;
constexpr std::uint32_t kRpcMismatch = 0;
constexpr std::uint32_t kAuthNone = 0;
constexpr std::size_t kMaxAuthBytes = 400;
constexpr std::uint32_t kLastFragment = 0x80000000U;
constexpr std::size_t kMarkBytes = 4;

std::uint32_t BigEndian(std::string_view bytes)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3]));
}

std::size_t Padded(std::size_t n)
{
    return (n + 3) & ~std::size_t{3};
}

// The reply header up to the accept status, with no verifier.
XdrWriter Accepted(std::uint32_t xid, AcceptStat stat)
{
    XdrWriter w;
    w.U32(xid);
    w.U32(kReply);
    w.U32(kMsgAccepted);
    w.U32(kAuthNone);
    w.U32(0);
    w.U32(static_cast<std::uint32_t>(stat));
    return w;
}

}  // namespace

std::uint32_t XdrReader::U32()
{
    if (Left() < 4) {
        throw Garbage("the record ends inside a number");
    }
    const std::uint32_t v = BigEndian(data_.substr(at_, 4));
    at_ += 4;
    return v;
}

bool XdrReader::Bool()
{
    const std::uint32_t v = U32();
    if (v > 1) {
        throw Garbage("a boolean is neither 0 nor 1");
    }
    return v == 1;
}

std::string XdrReader::Opaque(std::size_t max)
{
    const std::uint32_t n = U32();
    if (n > max) {
        throw Garbage("opaque data longer than allowed");
    }
    if (Left() < Padded(n)) {
        throw Garbage("the record ends inside opaque data");
    }
    std::string out(data_.substr(at_, n));
    at_ += Padded(n);
    return out;
}

void XdrWriter::U32(std::uint32_t v)
{
    data_ += static_cast<char>(v >> 24);
    data_ += static_cast<char>(v >> 16);
    data_ += static_cast<char>(v >> 8);
    data_ += static_cast<char>(v);
}

void XdrWriter::Opaque(std::string_view bytes)
{
    U32(static_cast<std::uint32_t>(bytes.size()));
    data_.append(bytes);
    data_.append(Padded(bytes.size()) - bytes.size(), '\0');
}

std::optional<std::string> NextRecord(std::string &stream)
{
    // Walk the fragments without taking anything until the last has come.
    std::size_t at = 0;
    std::size_t total = 0;
    for (;;) {
        if (stream.size() - at < kMarkBytes) {
            return std::nullopt;
        }
        const std::uint32_t mark = BigEndian(std::string_view(stream).substr(at, kMarkBytes));
        const std::size_t length = mark & ~kLastFragment;
        // The marks count too: empty fragments would otherwise pile up
        // without end.
        total += kMarkBytes + length;
        if (total > kMaxRecordBytes) {
            throw Garbage("a record longer than " + std::to_string(kMaxRecordBytes) + " bytes");
        }
        if (stream.size() - at - kMarkBytes < length) {
            return std::nullopt;
        }
        at += kMarkBytes + length;
        if ((mark & kLastFragment) != 0) {
            break;
        }
    }
    std::string record;
    record.reserve(total);
    std::size_t from = 0;
    while (from < at) {
        const std::size_t length =
            BigEndian(std::string_view(stream).substr(from, kMarkBytes)) & ~kLastFragment;
        record.append(stream, from + kMarkBytes, length);
        from += kMarkBytes + length;
    }
    stream.erase(0, at);
    return record;
}

std::string Framed(std::string_view record)
{
    XdrWriter w;
    w.U32(kLastFragment | static_cast<std::uint32_t>(record.size()));
    w.data().append(record);
    return std::move(w.data());
}

std::string Answer(std::string_view record, ProgramId id, const Program &program)
{
    XdrReader in(record);
    Call call;
    try {
        call.xid = in.U32();
    } catch (const Garbage &) {
        return "";  // nothing to answer to
    }
    try {
        if (in.U32() != kCall) {
            return "";  // a reply: the server makes no calls on this stream
        }
        if (in.U32() != kRpcVersion) {
            XdrWriter w;
            w.U32(call.xid);
            w.U32(kReply);
            w.U32(kMsgDenied);
            w.U32(kRpcMismatch);
            w.U32(kRpcVersion);
            w.U32(kRpcVersion);
            return std::move(w.data());
        }
        call.program = in.U32();
        call.version = in.U32();
        call.procedure = in.U32();
        for (int i = 0; i < 2; ++i) {  // the credentials and the verifier: not checked
            in.U32();
            in.Opaque(kMaxAuthBytes);
        }
    } catch (const Garbage &) {
        return std::move(Accepted(call.xid, AcceptStat::kGarbageArgs).data());
    }
    if (call.program != id.number) {
        return std::move(Accepted(call.xid, AcceptStat::kProgUnavail).data());
    }
    if (call.version != id.version) {
        XdrWriter w = Accepted(call.xid, AcceptStat::kProgMismatch);
        w.U32(id.version);
        w.U32(id.version);
        return std::move(w.data());
    }
    XdrWriter results;
    AcceptStat stat = AcceptStat::kSuccess;
    try {
        stat = program(call, in, results);
    } catch (const Garbage &) {
        stat = AcceptStat::kGarbageArgs;
    }
    XdrWriter w = Accepted(call.xid, stat);
    if (stat == AcceptStat::kSuccess) {
        w.data() += results.data();
    }
    return std::move(w.data());
}

}  // namespace vontrel::serve::rpc
