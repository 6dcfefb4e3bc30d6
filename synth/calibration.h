// SPDX-License-Identifier: MIT
// The unit's four per-frequency calibration tables and the index that picks
// an entry for a frequency. Each table has one byte per 25 MHz step from
// 300 MHz (step k is 300 + 25·k MHz, k = 0..188) in device memory.
#ifndef VONTREL_SYNTH_CALIBRATION_H
#define VONTREL_SYNTH_CALIBRATION_H

#include <algorithm>
#include <cstdint>

#include "d2xx/ftd2xx.h"
#include "link/transact.h"
#include "protocol/unit_protocol.h"

namespace vontrel {

inline constexpr int kMaxCalibrationIndex = mem::kTableEntries - 1;  // 188

// The tables, each named by its first address.
enum class CalibrationTable : std::uint16_t {
    kA = mem::kTableA,  // trim_a per step
    kB = mem::kTableB,  // trim_b per step
    kC = mem::kTableC,  // level reference: the level at atten_code v is 0.25·(C − v)
    kD = mem::kTableD,  // atten_code at which the highest level is taken
};

// The step for a frequency in MHz: clamped to 300..5000 (the upper limit
// tested first), then (f − 300) / 25 rounded half up. Always 0..188; NaN
// gives 0.
int CalibrationIndex(double freq_mhz);

// Entry k of `table`: one memory read at the table's base + k, 0..255, or 0
// when the exchange failed (*status tells). A k outside 0..188 is held to
// the nearest end, so nothing outside the table is ever read.
[[gnu::always_inline]] inline int ReadTableEntry(unsigned long *status, Link &link,
                                                 CalibrationTable table, int k)
{
    const int entry = std::clamp(k, 0, kMaxCalibrationIndex);
    return ReadMemoryByte(status, link,
                          static_cast<std::uint32_t>(static_cast<std::uint16_t>(table) + entry));
}

}  // namespace vontrel

#endif
