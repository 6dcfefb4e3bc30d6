// SPDX-License-Identifier: MIT
// The one way a double becomes an integer in the synthesizer layer.
//
// A C++ conversion of a double that is out of the target's range, infinite
// or NaN is undefined behaviour, and the values that reach this layer come
// straight from the caller's status vector. Every double-to-integer
// conversion therefore goes through ToUnsigned32, which gives defined bits
// for every input.
#ifndef VONTREL_SYNTH_CONVERT_H
#define VONTREL_SYNTH_CONVERT_H

#include <cstdint>

namespace vontrel {

// Truncates toward zero and keeps the result modulo 2^32, so a negative
// value wraps as in two's complement: -1.0 gives 0xFFFFFFFF, 255.5 gives
// 255, 2^32 + 5 gives 5, and 2^63 or 1e300 give 0 (they are multiples of
// 2^32). NaN and both infinities give 0.
std::uint32_t ToUnsigned32(double value);

// ToUnsigned32 for magnitudes of 2^63 and more, NaN and infinities.
std::uint32_t ToUnsigned32Wide(double value);

inline std::uint32_t ToUnsigned32(double value)
{
    // Below 2^63 in magnitude the conversion to a 64-bit integer truncates
    // toward zero and is defined, and keeping its low 32 bits is the wrap
    // modulo 2^32. NaN fails the test and takes the wide path.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (value > -kTwoTo63 && value < kTwoTo63) {
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
    }
    return ToUnsigned32Wide(value);
}

// The low 8 bits of ToUnsigned32(value).
inline std::uint8_t ToByte(double value)
{
    return static_cast<std::uint8_t>(ToUnsigned32(value));
}

// The low 16 bits of ToUnsigned32(value).
inline std::uint16_t ToU16(double value)
{
    return static_cast<std::uint16_t>(ToUnsigned32(value));
}

}  // namespace vontrel

#endif
