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

enum class Outcome {
    kOk,
    kWriteFailed,  // no frame went out whole (or the link could not be put back in step)
    kReadFailed,   // the frame went out; no whole reply came
    kNotMade,      // the call had already met a unit that does not answer: nothing was sent
};

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

// Writes `command`, and reads 8 bytes of reply into `response`: after a
// write that succeeded, or after any write when `read_after_failed_write`
// (the preset commands read whatever their write did). Each D2XX result is
// recorded into *status (see Record), and:
//   - a write that reports FT_OK with fewer than 8 bytes out, or a read
//     that reports FT_OK with fewer than 8 bytes in, counts as FT_IO_ERROR:
//     the unit did not answer in time. The link stalls: this call makes no
//     further exchange, and the next one on the unit puts it back in step;
//   - a failed write or read leaves the link out of step, and the call
//     goes on;
//   - on a link out of step, the exchange first puts it back in step and
//     afterwards checks that nothing came behind its reply (see link.h).
// The outcome is this exchange's own, whatever *status held before.
inline Outcome Exchange(unsigned long *status, Link &link, Frame command, Frame &response,
                        bool read_after_failed_write)
{
    if (link.stalled()) [[unlikely]] {
        return Outcome::kNotMade;
    }
    LinkStep step = link.step();
    if (step == LinkStep::kOutOfStep) [[unlikely]] {
        if (!ResyncLink(status, link)) {
            return link.stalled() ? Outcome::kNotMade : Outcome::kWriteFailed;
        }
        step = LinkStep::kConfirm;
    }
    DWORD written = 0;  // FT_Write takes a non-const buffer: `command` is a copy
    const FT_STATUS wrote = FT_Write(link.handle(), command.data(), kFrameSize, &written);
    if (wrote == FT_OK && written < kFrameSize) [[unlikely]] {
        Record(status, FT_IO_ERROR);
        link.Stall();
        return Outcome::kWriteFailed;
    }
    Record(status, wrote);
    if (wrote != FT_OK) [[unlikely]] {
        link.MarkOutOfStep();  // part of the frame may have gone out, and a reply may come
        if (!read_after_failed_write) {
            return Outcome::kWriteFailed;
        }
    }
    DWORD received = 0;
    const FT_STATUS read = FT_Read(link.handle(), response.data(), kFrameSize, &received);
    if (read == FT_OK && received < kFrameSize) [[unlikely]] {
        Record(status, FT_IO_ERROR);
        link.Stall();
        return Outcome::kReadFailed;
    }
    Record(status, read);
    if (read != FT_OK) [[unlikely]] {
        link.MarkOutOfStep();
        return Outcome::kReadFailed;
    }
    if (wrote != FT_OK) [[unlikely]] {
        return Outcome::kWriteFailed;
    }
    if (step == LinkStep::kConfirm) [[unlikely]] {
        if (!ConfirmInStep(status, link)) {
            return Outcome::kReadFailed;
        }
    }
    return Outcome::kOk;
}

// One exchange of a command and its reply; no read after a failed write.
inline Outcome Transact(unsigned long *status, Link &link, Frame command, Frame &response)
{
    return Exchange(status, link, command, response, false);
}

// The primitives below record their calls into *status the same way.

// The stored byte 0..255, or 0 when the exchange failed (*status tells).
inline int ReadMemoryByte(unsigned long *status, Link &link, std::uint32_t address)
{
    Frame response{};
    const Frame command = CommandFrame(cmd::kReadMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8));
    if (Transact(status, link, command, response) != Outcome::kOk) {
        return 0;
    }
    return response[reply::kMemoryByte];
}

inline void WriteMemoryByte(unsigned long *status, Link &link, std::uint32_t address,
                            std::uint8_t value)
{
    Frame response{};
    const Frame command = CommandFrame(cmd::kWriteMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8), value);
    Transact(status, link, command, response);
}

// 0 on success, -1 when the write failed, -2 when the read failed or came
// short, or the exchange was not made. `response` is written only on
// success, so a failed read-back keeps what the caller put there.
inline int ReadRegister(unsigned long *status, Link &link, int index, Frame &response)
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

inline void WriteRegister(unsigned long *status, Link &link, int index,
                          const RegisterWordBytes &word)
{
    const std::uint8_t code = index == 0 ? cmd::kWriteRegister0 : static_cast<std::uint8_t>(index);
    Frame response{};
    Transact(status, link, CommandFrame(code, word[0], word[1], word[2], word[3]), response);
}

}  // namespace vontrel

#endif
