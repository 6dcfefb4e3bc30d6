// SPDX-License-Identifier: MIT
// The exchange step and the four transaction primitives. Everything above
// the link layer reaches a unit only through these; the frames and command
// codes are in protocol/unit_protocol.h.
#ifndef VONTREL_LINK_TRANSACT_H
#define VONTREL_LINK_TRANSACT_H

#include <cstdint>

#include "d2xx/ftd2xx.h"
#include "link/link.h"
#include "protocol/unit_protocol.h"

namespace vontrel {

// Records one D2XX result into an export's *status, which keeps the first
// failure: it stays FT_OK only while every call so far has succeeded, and a
// later success never hides an earlier failure. An export sets *status to
// FT_OK before its first call.
inline void Record(unsigned long *status, FT_STATUS result) noexcept
{
    if (*status == FT_OK) {
        *status = result;
    }
}

// The exchange step and the primitives are defined here, inline: every
// export runs them in a loop, and the library's own work per exchange is
// then a few instructions beside the converter library's.

// The write and the read of an exchange, and their failures; shared by the
// common path of Exchange and the out-of-step one.
[[gnu::always_inline]] inline Outcome WriteAndRead(unsigned long *status, Link &link,
                                                   Frame &command, Frame &response,
                                                   bool read_after_failed_write)
{
    // What the reply must carry back, taken before FT_Write may touch the
    // buffer (known at compile time where the frame is).
    const std::uint8_t code = command[2], p0 = command[3], p1 = command[4];
    DWORD written = 0;  // FT_Write takes a non-const buffer: `command` is the caller's copy
    const FT_STATUS wrote = FT_Write(link.handle(), command.data(), kFrameSize, &written);
    if (wrote != FT_OK || written < kFrameSize) [[unlikely]] {
        return AfterFailedWrite(status, link, wrote, response, read_after_failed_write);
    }
    DWORD received = 0;
    const FT_STATUS read = FT_Read(link.handle(), response.data(), kFrameSize, &received);
    if (read != FT_OK || received < kFrameSize) [[unlikely]] {
        return AfterFailedRead(status, link, read, received);
    }
    if (link.echoes() && !EchoesCommand(code, p0, p1, response)) [[unlikely]] {
        return AfterForeignReply(status, link);
    }
    return Outcome::kOk;
}

// Writes `command`, and reads 8 bytes of reply into `response`: after a
// write that succeeded, or after any write when `read_after_failed_write`
// (the preset commands read whatever their write did). Each D2XX result is
// recorded into *status (see Record), and:
//   - a write that reports FT_OK with fewer than 8 bytes out, or a read
//     that reports FT_OK with fewer than 8 bytes in, counts as FT_IO_ERROR:
//     the unit did not answer in time. The call stalls: it makes no
//     further exchange; the next one on the unit first reads what is still
//     owed (see link.h);
//   - on a unit that echoes, a reply that does not carry its command back
//     is FT_IO_ERROR and stalls the call too;
//   - a failed write or read leaves the link out of step, and the call
//     goes on;
//   - on a link out of step, the exchange first purges it and, on a unit
//     that does not echo, afterwards checks that nothing came behind its
//     reply (see link.h).
// The outcome is this exchange's own, whatever *status held before. The
// common path is a write and a read and a test of each; a success needs
// no recording, since *status only keeps failures.
[[gnu::always_inline]] inline Outcome Exchange(unsigned long *status, Link &link, Frame command,
                                               Frame &response, bool read_after_failed_write)
{
    if (!link.fast()) [[unlikely]] {
        return ExchangeOutOfStep(status, link, command, response, read_after_failed_write);
    }
    return WriteAndRead(status, link, command, response, read_after_failed_write);
}

// One exchange of a command and its reply; no read after a failed write.
[[gnu::always_inline]] inline Outcome Transact(unsigned long *status, Link &link, Frame command,
                                               Frame &response)
{
    return Exchange(status, link, command, response, false);
}

// The primitives below record their calls into *status the same way.

// The stored byte 0..255, or 0 when the exchange failed (*status tells).
[[gnu::always_inline]] inline int ReadMemoryByte(unsigned long *status, Link &link,
                                                 std::uint32_t address)
{
    Frame response{};
    const Frame command = CommandFrame(cmd::kReadMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8));
    if (Transact(status, link, command, response) != Outcome::kOk) {
        return 0;
    }
    return response[reply::kMemoryByte];
}

[[gnu::always_inline]] inline void WriteMemoryByte(unsigned long *status, Link &link,
                                                   std::uint32_t address, std::uint8_t value)
{
    Frame response{};
    const Frame command = CommandFrame(cmd::kWriteMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8), value);
    Transact(status, link, command, response);
}

// 0 on success, -1 when the write failed, -2 when the read failed or came
// short, or the exchange was not made. `response` is written only on
// success, so a failed read-back keeps what the caller put there.
[[gnu::always_inline]] inline int ReadRegister(unsigned long *status, Link &link, int index,
                                               Frame &response)
{
    const std::uint8_t code = index == 0 ? cmd::kReadRegister0 : cmd::kReadRegister;
    Frame reply{};  // a failed or short read must not reach the caller's buffer
    switch (Transact(status, link, CommandFrame(code, static_cast<std::uint8_t>(index)), reply)) {
        case Outcome::kOk:
            response = reply;
            return 0;
        case Outcome::kWriteFailed:
            return -1;
        case Outcome::kReadFailed:
        case Outcome::kNotMade:
            break;
    }
    return -2;
}

[[gnu::always_inline]] inline void WriteRegister(unsigned long *status, Link &link, int index,
                                                 const RegisterWordBytes &word)
{
    const std::uint8_t code = index == 0 ? cmd::kWriteRegister0 : static_cast<std::uint8_t>(index);
    Frame response{};
    Transact(status, link, CommandFrame(code, word[0], word[1], word[2], word[3]), response);
}

}  // namespace vontrel

#endif
