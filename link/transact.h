// Command frames, the exchange step and the four transaction primitives.
// Everything above the link layer reaches a unit only through these.
#ifndef VONTREL_LINK_TRANSACT_H
#define VONTREL_LINK_TRANSACT_H

#include <array>
#include <cstdint>

#include "d2xx/ftd2xx.h"

namespace vontrel {

using Frame = std::array<std::uint8_t, 8>;
using RegisterWordBytes = std::array<std::uint8_t, 4>;  // p0 (bits 31..24) .. p3

// Command codes of the unit.
namespace cmd {
inline constexpr std::uint8_t kReadRegister = 0x00;  // registers 1..7, index in p0
inline constexpr std::uint8_t kWriteRegister0 = 0x0A;
inline constexpr std::uint8_t kReadRegister0 = 0x0B;
inline constexpr std::uint8_t kWriteMemory = 0x0C;
inline constexpr std::uint8_t kReadMemory = 0x0D;
inline constexpr std::uint8_t kSaveUserPreset = 0x0E;
inline constexpr std::uint8_t kPreset = 0xFF;
}  // namespace cmd

inline constexpr std::uint8_t kFrameStart = 0x21;  // '!'
inline constexpr std::uint8_t kFrameEnd = 0x40;    // '@'

// 00 21 code p0 p1 p2 p3 40
constexpr Frame CommandFrame(std::uint8_t code, std::uint8_t p0 = 0, std::uint8_t p1 = 0,
                             std::uint8_t p2 = 0, std::uint8_t p3 = 0)
{
    return Frame{0x00, kFrameStart, code, p0, p1, p2, p3, kFrameEnd};
}

// Whether the caller uses the bytes of the response.
enum class Response { kDiscarded, kUsed };

enum class Outcome { kOk, kWriteFailed, kReadFailed };

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

// Writes `command`, and when that succeeded reads 8 bytes into `response`.
// Each D2XX result is recorded into *status (see Record). With
// Response::kUsed a read that reports FT_OK but delivers fewer than 8 bytes
// counts as FT_IO_ERROR, since the buffer then holds no complete reply. The
// outcome is this exchange's own, whatever *status held before.
inline Outcome Transact(unsigned long *status, FT_HANDLE handle, Frame command, Frame &response,
                        Response use)
{
    DWORD written = 0;  // FT_Write takes a non-const buffer: `command` is a copy
    const FT_STATUS wrote =
        FT_Write(handle, command.data(), static_cast<DWORD>(command.size()), &written);
    Record(status, wrote);
    if (wrote != FT_OK) {
        return Outcome::kWriteFailed;
    }
    DWORD received = 0;
    FT_STATUS read =
        FT_Read(handle, response.data(), static_cast<DWORD>(response.size()), &received);
    if (read == FT_OK && use == Response::kUsed && received < response.size()) {
        read = FT_IO_ERROR;
    }
    Record(status, read);
    return read == FT_OK ? Outcome::kOk : Outcome::kReadFailed;
}

// The primitives below record their calls into *status the same way.

// The stored byte 0..255, or 0 when the exchange failed (*status tells).
inline int ReadMemoryByte(unsigned long *status, FT_HANDLE handle, std::uint32_t address)
{
    Frame response{};
    const Frame command = CommandFrame(cmd::kReadMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8));
    if (Transact(status, handle, command, response, Response::kUsed) != Outcome::kOk) {
        return 0;
    }
    return response[5];
}

inline void WriteMemoryByte(unsigned long *status, FT_HANDLE handle, std::uint32_t address,
                            std::uint8_t value)
{
    Frame response{};
    const Frame command = CommandFrame(cmd::kWriteMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8), value);
    Transact(status, handle, command, response, Response::kDiscarded);
}

// 0 on success, -1 when the write failed, -2 when the read failed or came
// short. `response` is written only on success, so a failed read-back keeps
// what the caller put there.
inline int ReadRegister(unsigned long *status, FT_HANDLE handle, int index, Frame &response)
{
    const std::uint8_t code = index == 0 ? cmd::kReadRegister0 : cmd::kReadRegister;
    Frame reply{};  // a failed or short read must not reach the caller's buffer
    switch (Transact(status, handle, CommandFrame(code, static_cast<std::uint8_t>(index)), reply,
                     Response::kUsed)) {
        case Outcome::kOk:
            response = reply;
            return 0;
        case Outcome::kWriteFailed:
            return -1;
        case Outcome::kReadFailed:
            break;
    }
    return -2;
}

inline void WriteRegister(unsigned long *status, FT_HANDLE handle, int index,
                          const RegisterWordBytes &word)
{
    const std::uint8_t code = index == 0 ? cmd::kWriteRegister0 : static_cast<std::uint8_t>(index);
    Frame response{};
    Transact(status, handle, CommandFrame(code, word[0], word[1], word[2], word[3]), response,
             Response::kDiscarded);
}

}  // namespace vontrel

#endif
