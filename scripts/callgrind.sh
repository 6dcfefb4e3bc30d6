#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Instructions per call of every export, the library's and the reference
# implementation's (benchmarks/reference), counted by callgrind against the
# D2XX double that answers at once: repeatable on a noisy machine. Each of
# the library's figures is checked against its budget in benchmarks/budgets.txt;
# the script exits 1 when one exceeds it by more than 10%.
#
#   scripts/callgrind.sh [BUILD_DIR]     (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
calls=${CALLS:-2000}
cmake --build "$build" -j"${JOBS:-2}" --target count_instructions >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count ours|reference CALL: instructions per call, rounded
count() {
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/out" \
        "$build/benchmarks/count_instructions" "$1" "$2" "$calls" >/dev/null 2>"$work/err" || {
        cat "$work/err" >&2
        exit 1
    }
    awk -v calls="$calls" '/^(summary|totals):/ { printf "%d\n", ($2 + calls / 2) / calls; exit }' \
        "$work/out"
}

printf '%-18s %10s %10s %7s %10s  %s\n' call ours reference ratio budget verdict
over=0
while read -r name budget _; do
    case "$name" in '' | '#'*) continue ;; esac
    ours=$(count ours "$name")
    reference=$(count reference "$name")
    ratio=$(awk -v a="$ours" -v b="$reference" 'BEGIN { printf "%.2f", a / b }')
    verdict=ok
    if [ "$ours" -gt $((budget * 110 / 100)) ]; then
        verdict="OVER BUDGET by more than 10%"
        over=1
    fi
    printf '%-18s %10d %10d %7s %10d  %s\n' "$name" "$ours" "$reference" "$ratio" "$budget" "$verdict"
done < benchmarks/budgets.txt
exit "$over"
