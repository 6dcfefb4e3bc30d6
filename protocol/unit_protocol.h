// SPDX-License-Identifier: MIT
// The unit's protocol, in one place at the bottom of the layers: the
// command and reply frames with their command codes, the serial line and
// time-outs the unit is reached at, and the map of its device memory. The
// link, the device and synthesizer code, the simulator, the serial D2XX
// library and the tools all take these facts from here; the converter
// status codes and their names are in include/vontrel_status.h.
#ifndef VONTREL_PROTOCOL_UNIT_PROTOCOL_H
#define VONTREL_PROTOCOL_UNIT_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace vontrel {

// --- Frames ---

// Every exchange is one command frame out and one reply frame back, 8 bytes
// each: 00 21 code p0 p1 p2 p3 40 out, 8 bytes of reply in.
using Frame = std::array<std::uint8_t, 8>;
inline constexpr std::uint32_t kFrameSize = 8;
using RegisterWordBytes = std::array<std::uint8_t, 4>;  // p0 (bits 31..24) .. p3

inline constexpr std::uint8_t kFrameStart = 0x21;  // '!'
inline constexpr std::uint8_t kFrameEnd = 0x40;    // '@'

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

// Where the reply carries what the library uses.
namespace reply {
inline constexpr std::size_t kMemoryByte = 5;  // a memory read's byte
inline constexpr std::size_t kLockByte = 6;    // register 0's low byte: lock detect

// Where a unit that echoes puts its command back into the reply: the
// command code in byte 2, and for a memory read or write the address (p0,
// p1) in bytes 3 and 4, as in the command frame. Not every unit need do
// so: the link learns at open whether a unit does (see device/open.cpp).
inline constexpr std::size_t kEchoCode = 2;
inline constexpr std::size_t kEchoAddressLow = 3;
inline constexpr std::size_t kEchoAddressHigh = 4;
}  // namespace reply

// 00 21 code p0 p1 p2 p3 40
constexpr Frame CommandFrame(std::uint8_t code, std::uint8_t p0 = 0, std::uint8_t p1 = 0,
                             std::uint8_t p2 = 0, std::uint8_t p3 = 0)
{
    return Frame{0x00, kFrameStart, code, p0, p1, p2, p3, kFrameEnd};
}

// Whether `reply` carries a command back as a unit that echoes does: its
// code, and for the memory commands its address (p0, p1). Nothing else of
// the reply is looked at.
constexpr bool EchoesCommand(std::uint8_t code, std::uint8_t p0, std::uint8_t p1,
                             const Frame &reply)
{
    if (reply[reply::kEchoCode] != code) {
        return false;
    }
    const bool memory = code == cmd::kReadMemory || code == cmd::kWriteMemory;
    return !memory || (reply[reply::kEchoAddressLow] == p0 && reply[reply::kEchoAddressHigh] == p1);
}

constexpr bool EchoesCommand(const Frame &command, const Frame &reply)
{
    return EchoesCommand(command[2], command[3], command[4], reply);
}

// --- The serial line ---

// 19230 baud (not the standard 19200), 8 data bits, one stop bit, no
// parity; each read and write waits at most 2000 ms.
inline constexpr unsigned long kBaudRate = 19230;
inline constexpr unsigned char kWordLength = 8;  // FT_BITS_8
inline constexpr unsigned char kStopBits = 0;    // FT_STOP_BITS_1
inline constexpr unsigned char kParity = 0;      // FT_PARITY_NONE
inline constexpr unsigned long kReadTimeoutMs = 2000;
inline constexpr unsigned long kWriteTimeoutMs = 2000;

// --- Device memory ---

// Every cell is one byte at a 16-bit address; one exchange moves one byte.
namespace mem {

// Identity block, addresses 0..9.
inline constexpr std::uint16_t kSerialLow = 0;
inline constexpr std::uint16_t kSerialHigh = 1;
inline constexpr std::uint16_t kFirmwareMinor = 2;     // figure after the point
inline constexpr std::uint16_t kFirmwareMajor = 3;     // figure before the point
inline constexpr std::uint16_t kCalDateSecond = 4;     // printed second
inline constexpr std::uint16_t kCalDateFirst = 5;      // printed first
inline constexpr std::uint16_t kCalYear = 6;           // printed after a fixed "20"
inline constexpr std::uint16_t kHardwareRevision = 7;  // 0 is 'A'
inline constexpr std::uint16_t kIfBandFirst = 8;
inline constexpr std::uint16_t kIfBandSecond = 9;
inline constexpr std::uint16_t kIdentitySize = 10;

// The serial number from its two bytes, both taken unsigned: 0..65535.
constexpr int SerialNumber(int low, int high)
{
    return high * 256 + low;
}

// Setting bytes.
inline constexpr std::uint16_t kStoredSetting = 45;
inline constexpr std::uint16_t kLastTrimA = 83;  // trimA byte of the last write-out
inline constexpr std::uint16_t kLastTrimB = 84;  // trimB byte of the last write-out

// Calibration tables: 189 one-byte entries each, one per 25 MHz step from
// 300 MHz, back to back.
inline constexpr std::uint16_t kTableEntries = 189;
inline constexpr std::uint16_t kTableA = 85;                          // trim_a per step
inline constexpr std::uint16_t kTableB = kTableA + kTableEntries;     // 274: trim_b per step
inline constexpr std::uint16_t kTableC = kTableB + kTableEntries;     // 463: level reference
inline constexpr std::uint16_t kTableD = kTableC + kTableEntries;     // 652: atten_code of levelMax
inline constexpr std::uint16_t kTablesEnd = kTableD + kTableEntries;  // 841, one past the last

static_assert(kTableB == 274 && kTableC == 463 && kTableD == 652 && kTablesEnd == 841);

}  // namespace mem

}  // namespace vontrel

#endif
