// SPDX-License-Identifier: MIT
// The exports against the link's time: each export's measured time beside
// its exchanges (vontrel.h) times the modelled time of one exchange
// (d2xx/link_model.h), and the rate of Vontrel_WriteStatus calls with 1, 2,
// 4 and 8 units driven at once, each by its own thread. It uses only the
// eight exports, so it runs over whatever D2XX library and units are there:
// the simulator with its link timing on (VONTREL_SIM_TIMING=1,
// VONTREL_SIM_LATENCY_MS), or the serial library and `vontrel-sim serve
// --pty`. scripts/link_timing.sh runs it both ways at several latencies.
//
//   link_timing exports LATENCY_MS [CALLS]
//       CSV: latency_ms,call,exchanges,measured_ms,model_ms,ratio
//   link_timing scaling LATENCY_MS [CALLS]
//       CSV: latency_ms,units,calls_per_s,speedup
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/link_model.h"
#include "include/vontrel.h"
#include "link/open_converter.h"

namespace {

using Clock = std::chrono::steady_clock;

void *AsHandle(int token)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
}

void Check(unsigned long status, const char *what)
{
    if (status != 0) {
        std::fprintf(stderr, "link_timing: %s failed with status %lu\n", what, status);
        std::exit(1);
    }
}

// The tokens of every unit there, in enumeration order.
std::vector<int> OpenUnits()
{
    unsigned long status = 0;
    int found = 0;
    std::vector<int> tokens(VONTREL_MAX_CONVERTERS, 0);
    std::vector<int> serials(VONTREL_MAX_CONVERTERS, 0);
    if (Vontrel_Open(&status, &found, tokens.data(), serials.data()) != 0 || found < 1) {
        std::fprintf(stderr, "link_timing: no unit opened (status %lu)\n", status);
        std::exit(1);
    }
    std::erase(tokens, 0);
    return tokens;
}

void CloseUnits(const std::vector<int> &tokens)
{
    for (const int token : tokens) {
        Vontrel_Close(AsHandle(token));
    }
}

double kLevel[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1};
double kPlain[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};

struct Case {
    const char *name;
    int exchanges;
    std::function<void(void *)> run;
};

const Case kCases[] = {
    {"ReadLD", VONTREL_EXCHANGES_READ_LD,
     [](void *h) {
         unsigned long s = 1;
         int ld = 0;
         Vontrel_ReadLD(&s, h, &ld);
         Check(s, "Vontrel_ReadLD");
     }},
    {"Preset", VONTREL_EXCHANGES_PRESET,
     [](void *h) {
         unsigned long s = 1;
         Vontrel_Preset(&s, h);
         Check(s, "Vontrel_Preset");
     }},
    {"ReadInfo", VONTREL_EXCHANGES_READ_INFO,
     [](void *h) {
         unsigned long s = 1;
         int sn = 0;
         char frev[VONTREL_FREV_SIZE], hrev[VONTREL_HREV_SIZE], cal[VONTREL_CALDATE_SIZE],
             ifb[VONTREL_IFBAND_SIZE];
         Vontrel_ReadInfo(&s, h, &sn, frev, hrev, cal, ifb);
         Check(s, "Vontrel_ReadInfo");
     }},
    {"ReadStatus", VONTREL_EXCHANGES_READ_STATUS,
     [](void *h) {
         unsigned long s = 1;
         double v[VONTREL_READ_STATUS_ENTRIES];
         Vontrel_ReadStatus(&s, h, v);
         Check(s, "Vontrel_ReadStatus");
     }},
    {"WriteStatus (12)", VONTREL_EXCHANGES_WRITE_STATUS,
     [](void *h) {
         unsigned long s = 1;
         Vontrel_WriteStatus(&s, h, kPlain);
         Check(s, "Vontrel_WriteStatus");
     }},
    {"WriteStatus (14)", VONTREL_EXCHANGES_WRITE_STATUS_AUTO_TRIM,
     [](void *h) {
         unsigned long s = 1;
         Vontrel_WriteStatus(&s, h, kLevel);
         Check(s, "Vontrel_WriteStatus");
     }},
};

int Exports(double latency, int calls)
{
    const double exchange_ms = vontrel::link_model::ExchangeMs(vontrel::kBaudRate, latency);
    const std::vector<int> tokens = OpenUnits();
    void *const handle = AsHandle(tokens[0]);
    for (const Case &c : kCases) {
        c.run(handle);  // warm up
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) {
            c.run(handle);
        }
        const double measured =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() / calls;
        const double model = c.exchanges * exchange_ms;
        std::printf("%g,%s,%d,%.3f,%.3f,%.4f\n", latency, c.name, c.exchanges, measured, model,
                    measured / model);
    }
    CloseUnits(tokens);
    return 0;
}

int Scaling(double latency, int calls)
{
    const std::vector<int> all = OpenUnits();
    double single_rate = 0.0;
    for (const std::size_t units : {1U, 2U, 4U, 8U}) {
        if (units > all.size()) {
            break;
        }
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (std::size_t u = 0; u < units; ++u) {
            threads.emplace_back([token = all[u], calls] {
                double mine[VONTREL_WRITE_STATUS_ENTRIES];
                std::copy(std::begin(kPlain), std::end(kPlain), mine);
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
        const double rate = static_cast<double>(units) * calls / seconds;
        if (units == 1) {
            single_rate = rate;
        }
        std::printf("%g,%zu,%.3f,%.3f\n", latency, units, rate, rate / single_rate);
    }
    CloseUnits(all);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 2 ? argv[1] : "";
    const double latency = argc > 2 ? std::strtod(argv[2], nullptr) : -1.0;
    const int calls = argc > 3 ? std::atoi(argv[3]) : 5;
    if (calls < 1 || !(latency >= 0.0) || (mode != "exports" && mode != "scaling")) {
        std::fprintf(stderr,
                     "usage: link_timing exports|scaling LATENCY_MS [CALLS]\n"
                     "  LATENCY_MS: the latency timer the link under test runs with\n");
        return 2;
    }
    return mode == "exports" ? Exports(latency, calls) : Scaling(latency, calls);
}
