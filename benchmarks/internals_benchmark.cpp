// SPDX-License-Identifier: MIT
// The library's pure arithmetic and its handle lookup alone, without any
// exchange: encoding a status vector into register words, decoding words
// into a status vector, and acquiring and releasing a unit.
#include <benchmark/benchmark.h>

#include "benchmarks/export_calls.h"
#include "link/handle_table.h"
#include "synth/calibration.h"
#include "synth/readback.h"
#include "synth/writeout.h"

namespace {

void Encode(benchmark::State &state)
{
    vontrel::WriteOutVector values{};
    std::copy(std::begin(bench::kWriteLevel), std::end(bench::kWriteLevel), values.begin());
    const vontrel::TableReads tables{186, 136, 114};
    for (auto _ : state) {
        benchmark::DoNotOptimize(values);
        const vontrel::WriteOutPlan plan = vontrel::PlanWriteOut(values);
        benchmark::DoNotOptimize(plan);
        vontrel::RegisterImage image = vontrel::EncodeRegisters(values, tables);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(Encode);

void Decode(benchmark::State &state)
{
    vontrel::RegisterImage words = vontrel::kDefaultWords;
    const vontrel::CalibrationEntries tables{195, 92, 100, 8};
    for (auto _ : state) {
        benchmark::DoNotOptimize(words);
        const vontrel::DecodedRegisters regs = vontrel::DecodeRegisters(words);
        const int k = vontrel::CalibrationIndex(regs.freq_mhz);
        benchmark::DoNotOptimize(k);
        vontrel::ReadBackVector v = vontrel::BuildReadBackVector(regs, tables, 5);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(Decode);

void HandleLookup(benchmark::State &state)
{
    const bench::Opened opened = bench::OpenAll(false);
    void *const handle = bench::Handle(opened);
    for (auto _ : state) {
        const vontrel::UnitLease unit(handle);
        benchmark::DoNotOptimize(unit.handle());
    }
    bench::CloseAll(opened, false);
}
BENCHMARK(HandleLookup);

}  // namespace
