#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and
# runs each for a fixed time, starting from its seed corpus in
# fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/<target>/, so
# the repository's corpus stays small.
#   scripts/fuzz.sh [seconds per target, default 10]
# The test command runs each target for 10 s: enough to replay the seed
# corpus and what earlier runs added, and to catch a change that breaks
# decoding at once. Searching deeper takes minutes a target: run it with a
# longer time (scripts/fuzz.sh 600) after changing a decoder.
# JOBS (default 2) targets run at a time. Exits non-zero on a crash, leak
# or sanitizer finding; the input that caused it is left in
# build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
jobs=${JOBS:-2}
targets=(fuzz_writeout fuzz_readback fuzz_open fuzz_responses fuzz_scpi fuzz_rpc)

args=()
[ -f build-fuzz/CMakeCache.txt ] || ! command -v ninja >/dev/null || args+=(-G Ninja)
command -v ccache >/dev/null &&
    args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Each file compiled on its own (the other builds of the test command
# compile a few at a time as one): so the library's and the simulator's
# files are seen to compile with only what they include themselves.
cmake -S . -B build-fuzz "${args[@]}" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DVONTREL_FUZZ=ON -DVONTREL_SANITIZE=address -DVONTREL_BUILD_TESTS=OFF \
    -DVONTREL_BUILD_TOOLS=OFF -DCMAKE_UNITY_BUILD=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}" >/dev/null

rm -rf build-fuzz/artifacts
mkdir -p build-fuzz/artifacts
# fuzz TARGET: runs it for the time given, its output to build-fuzz/TARGET.log.
fuzz() {
    local target=$1 work=build-fuzz/corpus/$1
    mkdir -p "$work"
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build-fuzz/artifacts/"$target"- "$work" "fuzz/corpus/$target" \
        >"build-fuzz/$target.log" 2>&1 || true
}
# JOBS targets at a time, each on a core of its own.
running=0
for target in "${targets[@]}"; do
    fuzz "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait
found=0
for target in "${targets[@]}"; do
    echo "== $target: ${seconds} s"
    grep -E "^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ *DONE)|ERROR|SUMMARY|Done [0-9]+ runs" \
        "build-fuzz/$target.log" || true
    if ls build-fuzz/artifacts/"$target"-* >/dev/null 2>&1; then
        echo "$target: finding saved in build-fuzz/artifacts/ (its output: build-fuzz/$target.log)" >&2
        found=1
    fi
done
[ "$found" -eq 0 ] || exit 1
echo "== fuzzing: no findings"
