// SPDX-License-Identifier: MIT
// Link timing (VONTREL_SIM_TIMING, VONTREL_SIM_LATENCY_MS): how long an
// exchange of a command and its response takes on the wire and through the
// converter's latency timer.
#include "d2xx/link_model.h"
#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"

namespace vsim {
namespace {

using vontrel::link_model::kDefaultLatencyMs;
constexpr long kMaxLatencyMs = static_cast<long>(vontrel::link_model::kMaxLatencyMs);

struct LinkTiming {
    bool on = false;
    double latency_ms = kDefaultLatencyMs;
    std::string error;  // why the environment's values cannot be used
};

LinkTiming ReadLinkTiming()
{
    LinkTiming t;
    const std::string on = Env("VONTREL_SIM_TIMING");
    if (on == "1" || on == "on" || on == "yes" || on == "true") {
        t.on = true;
    } else if (!on.empty() && on != "0" && on != "off" && on != "no" && on != "false") {
        t.error =
            "VONTREL_SIM_TIMING is '" + on + "'; it takes 1, on, yes, true or 0, off, no, false";
    }
    const std::string latency = Env("VONTREL_SIM_LATENCY_MS");
    if (!latency.empty()) {
        if (latency.size() > 3 || latency.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(latency) > kMaxLatencyMs) {
            t.error = "VONTREL_SIM_LATENCY_MS is '" + latency +
                      "'; it takes a whole number of milliseconds from 0 to " +
                      std::to_string(kMaxLatencyMs);
        } else {
            t.latency_ms = static_cast<double>(std::stol(latency));
        }
    }
    return t;
}

const LinkTiming &TheLinkTiming()
{
    static const LinkTiming timing = ReadLinkTiming();
    return timing;
}

}  // namespace

void CheckLinkTimingEnvironment()
{
    if (!TheLinkTiming().error.empty()) {
        throw BenchError(VSIM_BENCH_CONFIG, TheLinkTiming().error);
    }
}

std::chrono::steady_clock::duration ExchangeTime(ULONG baud)
{
    const LinkTiming &timing = TheLinkTiming();
    if (!timing.on || !timing.error.empty() || baud == 0) {
        return std::chrono::steady_clock::duration::zero();
    }
    // Both frames cross the wire (8.32 ms at 19230 baud); the converter then
    // holds the short response until its latency timer next fires: 16 ms by
    // default.
    const double ms = vontrel::link_model::ExchangeMs(baud, timing.latency_ms);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

}  // namespace vsim
