// SPDX-License-Identifier: MIT
// How long one exchange takes on the link to a unit: the command frame and
// the reply frame on the wire at the line's baud rate, 8N1 (ten bits a
// byte), and the converter handing the short reply over at the next tick
// of its latency timer after the wire time. At 19230 baud the wire takes
// 8.32 ms, so an exchange takes 16 ms with the converter's default 16 ms
// timer and 9 ms with a 1 ms one. The simulator's link timing, its
// pseudo-terminal server and the performance figures all use this one model.
#ifndef VONTREL_D2XX_LINK_MODEL_H
#define VONTREL_D2XX_LINK_MODEL_H

#include <cmath>

namespace vontrel::link_model {

inline constexpr double kBitsPerByte = 10.0;  // start, 8 data, stop
inline constexpr double kFrameBytes = 8.0;
inline constexpr double kExchangeBytes = 2 * kFrameBytes;  // command and reply
inline constexpr double kDefaultLatencyMs = 16.0;          // the converter's default timer
inline constexpr double kMaxLatencyMs = 255.0;             // the timer is one byte of ms

// Milliseconds `bytes` take on the wire at `baud`.
constexpr double WireMs(double bytes, double baud)
{
    return bytes * kBitsPerByte * 1000.0 / baud;
}

// Milliseconds from writing a command frame to holding its reply: the wire
// time rounded up to the latency timer's next tick (no rounding for a
// latency of 0).
inline double ExchangeMs(double baud, double latency_ms)
{
    const double wire = WireMs(kExchangeBytes, baud);
    return latency_ms > 0.0 ? std::ceil(wire / latency_ms) * latency_ms : wire;
}

}  // namespace vontrel::link_model

#endif
