// Link timing (VONTREL_SIM_TIMING, VONTREL_SIM_LATENCY_MS): how long an
// exchange of a command and its response takes on the wire and through the
// converter's latency timer.
#include <cmath>
#include <cstdlib>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"

namespace vsim {
namespace {

constexpr double kDefaultLatencyMs = 16.0;
constexpr double kBitsPerByte = 10.0;       // 8N1: start, 8 data, stop
constexpr double kBytesPerExchange = 16.0;  // command and response frames

}  // namespace

std::chrono::steady_clock::duration ExchangeTime(ULONG baud)
{
    static const bool on = [] {
        const std::string v = Env("VONTREL_SIM_TIMING");
        return v == "1" || v == "on" || v == "yes" || v == "true";
    }();
    static const double latency_ms = [] {
        const std::string v = Env("VONTREL_SIM_LATENCY_MS");
        return v.empty() ? kDefaultLatencyMs : std::strtod(v.c_str(), nullptr);
    }();
    if (!on || baud == 0) {
        return std::chrono::steady_clock::duration::zero();
    }
    // Both frames cross the wire (8.32 ms at 19230 baud); the converter then
    // holds the short response until its latency timer next fires, so an
    // exchange ends on the first tick after the wire time: 16 ms by default.
    const double wire_ms = kBytesPerExchange * kBitsPerByte * 1000.0 / baud;
    const double ms = latency_ms > 0.0 ? std::ceil(wire_ms / latency_ms) * latency_ms : wire_ms;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

}  // namespace vsim
