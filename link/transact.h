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
Frame CommandFrame(std::uint8_t code, std::uint8_t p0 = 0, std::uint8_t p1 = 0, std::uint8_t p2 = 0,
                   std::uint8_t p3 = 0);

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

// Writes `command`, and when that succeeded reads 8 bytes into `response`.
// Each D2XX result is recorded into *status (see Record). With
// Response::kUsed a read that reports FT_OK but delivers fewer than 8 bytes
// counts as FT_IO_ERROR, since the buffer then holds no complete reply. The
// outcome is this exchange's own, whatever *status held before.
Outcome Transact(unsigned long *status, FT_HANDLE handle, const Frame &command, Frame &response,
                 Response use);

// The primitives below record their calls into *status the same way.

// The stored byte 0..255, or 0 when the exchange failed (*status tells).
int ReadMemoryByte(unsigned long *status, FT_HANDLE handle, std::uint32_t address);

void WriteMemoryByte(unsigned long *status, FT_HANDLE handle, std::uint32_t address,
                     std::uint8_t value);

// 0 on success, -1 when the write failed, -2 when the read failed or came
// short. `response` is written only on success, so a failed read-back keeps
// what the caller put there.
int ReadRegister(unsigned long *status, FT_HANDLE handle, int index, Frame &response);

void WriteRegister(unsigned long *status, FT_HANDLE handle, int index,
                   const RegisterWordBytes &word);

}  // namespace vontrel

#endif
