// SPDX-License-Identifier: MIT
// Runs one export (or the reference implementation's) a number of times
// with callgrind's collection on only around those calls, so that
//   valgrind --tool=callgrind --collect-atstart=no count_instructions ...
// counts exactly their instructions. scripts/callgrind.sh drives it.
//
//   count_instructions ours|reference CALL [CALLS]
// CALL is a name of benchmarks/export_calls.h, or OpenClose (Open of the eight
// units and Close of each).
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "benchmarks/export_calls.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: count_instructions ours|reference CALL [CALLS]\n");
        return 2;
    }
    const bool reference = std::string(argv[1]) == "reference";
    const std::string name = argv[2];
    const long calls = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1000;

    if (name == "OpenClose") {
        bench::CloseAll(bench::OpenAll(reference), reference);  // warm up
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < calls; ++i) {
            bench::CloseAll(bench::OpenAll(reference), reference);
        }
        CALLGRIND_TOGGLE_COLLECT;
        return 0;
    }
    for (const bench::Call &call : bench::kCalls) {
        if (name != call.name) {
            continue;
        }
        const bench::Opened opened = bench::OpenAll(reference);
        void *const handle = bench::Handle(opened);
        auto *const run = reference ? call.reference : call.ours;
        run(handle);  // warm up: resolve symbols, touch the pages
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < calls; ++i) {
            run(handle);
        }
        CALLGRIND_TOGGLE_COLLECT;
        bench::CloseAll(opened, reference);
        return 0;
    }
    std::fprintf(stderr, "count_instructions: no call named %s\n", name.c_str());
    return 2;
}
