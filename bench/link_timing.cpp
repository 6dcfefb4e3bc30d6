// The exports against the link's time: with the simulator's link timing on
// (VONTREL_SIM_TIMING=1, VONTREL_SIM_LATENCY_MS), each export's measured
// time beside its exchanges times the modelled time of one exchange, and
// the rate of Vontrel_WriteStatus calls with 1, 2, 4 and 8 units driven at
// once, each by its own thread. scripts/link_timing.sh runs it at several
// latencies and writes the figures of docs/performance.md.
//
//   link_timing exports [CALLS]      CSV: latency_ms,call,exchanges,measured_ms,model_ms,ratio
//   link_timing scaling [CALLS]      CSV: latency_ms,units,calls_per_s,speedup
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/link_model.h"
#include "d2xx/sim/vsim.h"
#include "include/vontrel.h"
#include "link/open_converter.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaud = vontrel::kBaudRate;

double LatencyMs()
{
    const char *v = std::getenv("VONTREL_SIM_LATENCY_MS");
    return v != nullptr && *v != '\0' ? std::strtod(v, nullptr)
                                      : vontrel::link_model::kDefaultLatencyMs;
}

void *AsHandle(int token)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
}

std::vector<int> OpenUnits(int units)
{
    vsim_clear();
    for (int u = 0; u < units; ++u) {
        vsim_add_unit("Vontrel", static_cast<std::uint16_t>(100 + u));
    }
    unsigned long status = 0;
    int found = 0;
    std::vector<int> tokens(static_cast<std::size_t>(units), 0);
    std::vector<int> serials(static_cast<std::size_t>(units), 0);
    if (Vontrel_Open(&status, &found, tokens.data(), serials.data()) != 0 || found != units ||
        status != 0) {
        std::fprintf(stderr, "link_timing: opening %d units failed\n", units);
        std::exit(1);
    }
    return tokens;
}

long FramesWritten()
{
    long frames = 0;
    for (std::size_t i = 0; i < vsim_log_size(); ++i) {
        vsim_call c{};
        vsim_log_entry(i, &c);
        frames += std::string(c.function) == "FT_Write" ? 1 : 0;
    }
    return frames;
}

void Check(unsigned long status, const char *what)
{
    if (status != 0) {
        std::fprintf(stderr, "link_timing: %s failed with status %lu\n", what, status);
        std::exit(1);
    }
}

int Exports(int calls)
{
    const double latency = LatencyMs();
    const double exchange_ms = vontrel::link_model::ExchangeMs(kBaud, latency);
    double level[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1};
    double plain[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
    const struct {
        const char *name;
        std::function<void(void *)> run;
    } cases[] = {
        {"ReadLD",
         [](void *h) {
             unsigned long s = 1;
             int ld = 0;
             Vontrel_ReadLD(&s, h, &ld);
             Check(s, "Vontrel_ReadLD");
         }},
        {"Preset",
         [](void *h) {
             unsigned long s = 1;
             Vontrel_Preset(&s, h);
             Check(s, "Vontrel_Preset");
         }},
        {"ReadInfo",
         [](void *h) {
             unsigned long s = 1;
             int sn = 0;
             char frev[VONTREL_FREV_SIZE], hrev[VONTREL_HREV_SIZE], cal[VONTREL_CALDATE_SIZE],
                 ifb[VONTREL_IFBAND_SIZE];
             Vontrel_ReadInfo(&s, h, &sn, frev, hrev, cal, ifb);
             Check(s, "Vontrel_ReadInfo");
         }},
        {"ReadStatus",
         [](void *h) {
             unsigned long s = 1;
             double v[VONTREL_READ_STATUS_ENTRIES];
             Vontrel_ReadStatus(&s, h, v);
             Check(s, "Vontrel_ReadStatus");
         }},
        {"WriteStatus (12)",
         [&](void *h) {
             unsigned long s = 1;
             Vontrel_WriteStatus(&s, h, plain);
             Check(s, "Vontrel_WriteStatus");
         }},
        {"WriteStatus (14)",
         [&](void *h) {
             unsigned long s = 1;
             Vontrel_WriteStatus(&s, h, level);
             Check(s, "Vontrel_WriteStatus");
         }},
    };
    const std::vector<int> tokens = OpenUnits(1);
    void *const handle = AsHandle(tokens[0]);
    for (const auto &c : cases) {
        c.run(handle);  // warm up
        vsim_clear_log();
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) {
            c.run(handle);
        }
        const double measured =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() / calls;
        const long exchanges = FramesWritten() / calls;
        const double model = static_cast<double>(exchanges) * exchange_ms;
        std::printf("%g,%s,%ld,%.3f,%.3f,%.4f\n", latency, c.name, exchanges, measured, model,
                    measured / model);
    }
    Vontrel_Close(handle);
    return 0;
}

int Scaling(int calls)
{
    const double latency = LatencyMs();
    double values[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
    double single_rate = 0.0;
    for (const int units : {1, 2, 4, 8}) {
        const std::vector<int> tokens = OpenUnits(units);
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (const int token : tokens) {
            threads.emplace_back([&values, token, calls] {
                double mine[VONTREL_WRITE_STATUS_ENTRIES];
                std::copy(std::begin(values), std::end(values), mine);
                for (int i = 0; i < calls; ++i) {
                    unsigned long s = 1;
                    Vontrel_WriteStatus(&s, AsHandle(token), mine);
                    Check(s, "Vontrel_WriteStatus");
                }
            });
        }
        for (std::thread &t : threads) {
            t.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double rate = units * calls / seconds;
        if (units == 1) {
            single_rate = rate;
        }
        std::printf("%g,%d,%.3f,%.3f\n", latency, units, rate, rate / single_rate);
        for (const int token : tokens) {
            Vontrel_Close(AsHandle(token));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const int calls = argc > 2 ? std::atoi(argv[2]) : 5;
    if (calls < 1 || (mode != "exports" && mode != "scaling")) {
        std::fprintf(stderr, "usage: link_timing exports|scaling [CALLS]\n");
        return 2;
    }
    return mode == "exports" ? Exports(calls) : Scaling(calls);
}
