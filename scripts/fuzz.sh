#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz (or
# $FUZZ_BUILD) and runs each for a fixed time, starting from its seed
# corpus in fuzz/corpus/<target>/. New inputs go to
# <build>/fuzzing/corpus/<target>/, so the repository's corpus stays small.
#   scripts/fuzz.sh [seconds per target, default 10]
# The test command runs each target for 10 s: enough to replay the seed
# corpus and what earlier runs added, and to catch a change that breaks
# decoding at once. Searching deeper takes minutes a target: run it with a
# longer time (scripts/fuzz.sh 600) after changing a decoder.
# JOBS (default 2) targets run at a time. Exits non-zero on a crash, leak
# or sanitizer finding; the input that caused it is left in
# <build>/fuzzing/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
# libFuzzer takes anything else for 0, which is "run for ever".
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: scripts/fuzz.sh [seconds per target, a whole number from 1]" >&2
    exit 2
}
jobs=${JOBS:-2}
targets=(fuzz_writeout fuzz_readback fuzz_open fuzz_responses fuzz_scpi fuzz_rpc)

# FUZZ_BUILD=DIR: a build folder configured with -DVONTREL_FUZZ=ON already
# (the test command's build-asan, see scripts/sanitize.sh), used as it is.
build=${FUZZ_BUILD:-build-fuzz}
if [ -z "${FUZZ_BUILD:-}" ]; then
    args=()
    [ -f build-fuzz/CMakeCache.txt ] || ! command -v ninja >/dev/null || args+=(-G Ninja)
    command -v ccache >/dev/null &&
        args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S . -B build-fuzz "${args[@]}" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVONTREL_FUZZ=ON -DVONTREL_SANITIZE=address -DVONTREL_BUILD_TESTS=OFF \
        -DVONTREL_BUILD_TOOLS=OFF >/dev/null
elif ! grep -q '^VONTREL_FUZZ:BOOL=ON$' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "fuzz.sh: $build is not a build with -DVONTREL_FUZZ=ON" >&2
    exit 2
fi
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >/dev/null

out=$build/fuzzing
rm -rf "$out/artifacts"
mkdir -p "$out/artifacts"
# fuzz TARGET: runs it for the time given, its output to $out/TARGET.log.
fuzz() {
    local target=$1 work=$out/corpus/$1
    mkdir -p "$work"
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" "$work" "fuzz/corpus/$target" \
        >"$out/$target.log" 2>&1 || true
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
        "$out/$target.log" || true
    if ls "$out/artifacts/$target"-* >/dev/null 2>&1; then
        echo "$target: finding saved in $out/artifacts/ (its output: $out/$target.log)" >&2
        found=1
    fi
done
[ "$found" -eq 0 ] || exit 1
echo "== fuzzing: no findings"
