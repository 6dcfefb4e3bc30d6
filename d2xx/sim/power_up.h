// SPDX-License-Identifier: MIT
// The register words a simulated unit holds at power-up, written down here
// from the unit's own description of its default register record, not taken
// from the library: a library whose default image is wrong then sends words
// that the wire tests see differ from the unit's.
//
// Each word is p0 p1 p2 p3, most significant byte first; bits 4..0 are the
// register's address bits (0x00 for register 0, 0x08 plus the index for the
// others). Decoded, the image programs 1000 MHz: reference divider 1,
// doubler 1, integer part 200, fraction 0, output divider 2^2; trims 195
// and 92; mode 3, attenuation code 91, switch pattern 26.
#ifndef VONTREL_D2XX_SIM_POWER_UP_H
#define VONTREL_D2XX_SIM_POWER_UP_H

#include <array>
#include <cstdint>

namespace vsim {

inline constexpr std::array<std::uint32_t, 8> kPowerUpRegisters = {
    0x5BD0F000,  // 0: control word (attenuation, switch, mode, flags)
    0x60100029,  // 1: reference divider
    0x98A0190A,  // 2: band, doubler, integer part
    0x0000000B,  // 3: fractional part
    0x4B00A00C,  // 4: fractional operation, flag C, inverse flag B
    0x0D03A28D,  // 5: no fields
    0x9A8B986E,  // 6: output divider (twice), trims B and A
    0xD041100F,  // 7: no fields
};

}  // namespace vsim

#endif
