// SPDX-License-Identifier: MIT
// The VXI-11 server's record decoder over arbitrary bytes as a stream:
// records come off it whole or not at all, each is answered with a reply
// or an RPC error (or nothing, when it holds no call), and the decoder
// never reads past a record.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "frontends/vxi11/rpc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace vontrel::serve::rpc;  // NOLINT(google-build-using-namespace)
    const auto require = [](bool ok) { ok ? void() : std::abort(); };
    // A program with the shapes the server's procedures read: numbers,
    // booleans and bounded strings.
    const Program program = [](const Call &call, XdrReader &args, XdrWriter &out) {
        switch (call.procedure % 3) {
            case 0:
                out.U32(args.U32());
                out.Bool(args.Bool());
                return AcceptStat::kSuccess;
            case 1:
                out.Opaque(args.Opaque(256));
                return AcceptStat::kSuccess;
            default:
                return AcceptStat::kProcUnavail;
        }
    };
    std::string stream(reinterpret_cast<const char *>(data), size);
    try {
        while (auto record = NextRecord(stream)) {
            require(record->size() <= kMaxRecordBytes);
            const std::string reply = Answer(*record, {0x0607AF, 1}, program);
            require(reply.empty() || reply.size() >= 12);  // xid, type, status at least
        }
    } catch (const Garbage &) {
        // A record too long: the connection would be closed.
    }
    return 0;
}
