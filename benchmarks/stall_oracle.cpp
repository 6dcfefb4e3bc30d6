// SPDX-License-Identifier: MIT
// The stall-train oracle, measured: random trains of stalls (one stall of
// 10 to 4000 ms, then one to three of 30 to 300 ms starting 0 to 20 ms
// after the unit resumes) on a simulated unit with the link's timing, each
// run against a twin (tests/reliability/stall_oracle.h). Prints the FT_OK
// calls checked, the wrong ones (the goal is 0), the failed calls, settings
// bytes changed, and the time from the last resume to the first right
// answer (median and 90th percentile).
//
//   stall_oracle TRAINS [SEED] [echo|noecho] [long]
// "long" makes every first stall outlast the read time-out (2100 to 4000
// ms), so that every train meets a reply that comes short.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "tests/reliability/stall_oracle.h"

int main(int argc, char **argv)
{
    const int trains = argc > 1 ? std::atoi(argv[1]) : 0;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    const bool echoes = !(argc > 3 && std::string(argv[3]) == "noecho");
    const bool long_stalls = argc > 4 && std::string(argv[4]) == "long";
    if (trains < 1) {
        std::fprintf(stderr, "usage: stall_oracle TRAINS [SEED] [echo|noecho] [long]\n");
        return 2;
    }
    setenv("VONTREL_SIM_TIMING", "1", 1);  // exchanges take the link's time
    std::mt19937 random(seed);
    const auto uniform = [&](unsigned long lo, unsigned long hi) {
        return std::uniform_int_distribution<unsigned long>(lo, hi)(random);
    };
    stall_oracle::Counts total;
    std::vector<double> recovery;
    int shifted_trains = 0;
    for (int t = 0; t < trains; ++t) {
        stall_oracle::Train train{static_cast<long>(uniform(1, 40)),
                                  long_stalls ? uniform(2100, 4000) : uniform(10, 4000),
                                  {}};
        const unsigned long more = uniform(1, 3);
        for (unsigned long s = 0; s < more; ++s) {
            train.after.push_back(vsim_stall{uniform(0, 20), uniform(30, 300)});
        }
        stall_oracle::Bench bench(echoes);
        if (!bench.ok()) {
            std::fprintf(stderr, "train %d: the bench did not open\n", t);
            return 1;
        }
        const stall_oracle::Counts n = bench.Run(train, 24, 500);
        total.ok += n.ok;
        total.wrong += n.wrong;
        total.failed += n.failed;
        total.memory_changed += n.memory_changed;
        shifted_trains += n.wrong > 0 ? 1 : 0;
        if (n.wrong > 0) {
            std::fprintf(stderr, "train %d (reply %ld, %lu ms): %ld wrong, first %s\n", t,
                         train.nth, train.first_ms, n.wrong, n.first_wrong.c_str());
        }
        if (n.recovery_ms >= 0) {
            recovery.push_back(n.recovery_ms);
        }
    }
    std::sort(recovery.begin(), recovery.end());
    const auto at = [&](double q) {
        return recovery.empty() ? -1.0
                                : recovery[std::min(recovery.size() - 1,
                                                    static_cast<std::size_t>(q * recovery.size()))];
    };
    std::printf("units %s, trains %d, seed %u\n", echoes ? "that echo" : "that do not echo", trains,
                seed);
    std::printf(
        "FT_OK calls checked %ld, wrong %ld, failed %ld; trains with a wrong value %d; "
        "settings bytes changed %ld\n",
        total.ok, total.wrong, total.failed, shifted_trains, total.memory_changed);
    std::printf("last resume to first right answer: median %.0f ms, p90 %.0f ms (%zu trains)\n",
                at(0.5), at(0.9), recovery.size());
    return total.wrong == 0 && total.memory_changed == 0 ? 0 : 1;
}
