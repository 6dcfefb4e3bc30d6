// SPDX-License-Identifier: MIT
// ONC RPC over TCP as the VXI-11 server speaks it: XDR encoding and
// decoding, the record marking that frames messages on the stream, and
// the call and reply headers. Pure: no I/O, so that a fuzz target and the
// tests can feed it any bytes.
//
// The server decodes its few procedures itself rather than through the
// system's RPC library: that library's server loop serves every
// connection from one thread, and a device_read waiting for a sweep must
// block only its own link. Here each connection's thread decodes its own
// records; libtirpc is used only to register the port with rpcbind.
#ifndef VONTREL_FRONTENDS_VXI11_RPC_H
#define VONTREL_FRONTENDS_VXI11_RPC_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vontrel::serve::rpc {

// The largest record taken, all its fragments together with their marks;
// a longer one ends the connection, since the stream cannot be trusted
// after it.
inline constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 20;

// A record (or its arguments) ended early or held a value out of range.
struct Garbage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads XDR items off a record; throws Garbage past its end.
class XdrReader {
public:
    explicit XdrReader(std::string_view data) : data_(data) {}
    std::uint32_t U32();
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    bool Bool();
    // Variable-length opaque data or a string, at most `max` bytes.
    std::string Opaque(std::size_t max);
    std::size_t Left() const { return data_.size() - at_; }

private:
    std::string_view data_;
    std::size_t at_ = 0;
};

// Writes XDR items.
class XdrWriter {
public:
    void U32(std::uint32_t v);
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void Bool(bool v) { U32(v ? 1 : 0); }
    void Opaque(std::string_view bytes);
    std::string &data() { return data_; }

private:
    std::string data_;
};

// Takes whole records off the front of a stream's bytes: nullopt until one
// has come whole. Throws Garbage when the record grows past kMaxRecordBytes.
std::optional<std::string> NextRecord(std::string &stream);

// A record, framed as one last fragment.
std::string Framed(std::string_view record);

// How a call was answered, as far as RPC itself is concerned.
enum class AcceptStat : std::uint32_t {
    kSuccess = 0,
    kProgUnavail = 1,
    kProgMismatch = 2,
    kProcUnavail = 3,
    kGarbageArgs = 4,
    kSystemErr = 5,
};

// A decoded call: its header, and the reader positioned at its arguments.
struct Call {
    std::uint32_t xid = 0;
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t procedure = 0;
};

// What a program does with a call: writes its results to `out` and
// returns kSuccess, or returns the error (kProcUnavail, kGarbageArgs...),
// after which `out` is dropped.
using Program = std::function<AcceptStat(const Call &, XdrReader &args, XdrWriter &out)>;

// One program served: its number and version.
struct ProgramId {
    std::uint32_t number = 0;
    std::uint32_t version = 0;
};

// Answers one record: the reply to the call it holds, or "" when it holds
// no call to answer (a reply, or too short to hold a transaction id).
// Wrong RPC version, program or version, unknown procedure and bad
// arguments get their RPC error; the program's own throw of Garbage is
// taken as bad arguments.
std::string Answer(std::string_view record, ProgramId id, const Program &program);

}  // namespace vontrel::serve::rpc

#endif
