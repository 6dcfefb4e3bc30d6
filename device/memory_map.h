// The addresses of the unit's device memory that the library uses. Every
// cell is one byte at a 16-bit address; one exchange moves one byte.
#ifndef VONTREL_DEVICE_MEMORY_MAP_H
#define VONTREL_DEVICE_MEMORY_MAP_H

#include <cstdint>

namespace vontrel::mem {

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

}  // namespace vontrel::mem

#endif
