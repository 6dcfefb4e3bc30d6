// SPDX-License-Identifier: MIT
// Nanoseconds per call of every export against a D2XX double that answers
// at once, beside the plainest implementation we could write: the library's
// own cost, which the link's milliseconds otherwise hide.
#include <benchmark/benchmark.h>

#include "benchmarks/export_calls.h"

namespace {

void RunCall(benchmark::State &state, const bench::Call &call, bool reference)
{
    const bench::Opened opened = bench::OpenAll(reference);
    void *const handle = bench::Handle(opened);
    auto *const run = reference ? call.reference : call.ours;
    for (auto _ : state) {
        run(handle);
    }
    bench::CloseAll(opened, reference);
}

void OpenClose(benchmark::State &state, bool reference)
{
    for (auto _ : state) {
        bench::CloseAll(bench::OpenAll(reference), reference);
    }
    state.counters["units"] = bench::kUnits;
}

const int registered = [] {
    for (const bench::Call &call : bench::kCalls) {
        for (const bool reference : {false, true}) {
            const std::string name = std::string(reference ? "Reference/" : "Vontrel/") + call.name;
            benchmark::RegisterBenchmark(name.c_str(), [&call, reference](benchmark::State &s) {
                RunCall(s, call, reference);
            });
        }
    }
    benchmark::RegisterBenchmark("Vontrel/OpenClose",
                                 [](benchmark::State &s) { OpenClose(s, false); });
    benchmark::RegisterBenchmark("Reference/OpenClose",
                                 [](benchmark::State &s) { OpenClose(s, true); });
    return 0;
}();

}  // namespace
