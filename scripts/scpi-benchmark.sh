#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Commands per second for FREQ then FREQ? on a simulated unit, through
# `vontrel serve` over TCP and as the same library calls made directly;
# without link timing (the server's own cost) and with it (the wire's).
#   scripts/scpi-benchmark.sh [build-dir]
# PAIRS (default 20000) and TIMED_PAIRS (default 20) set the run lengths.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" -j2 --target vontrel_tool scpi_benchmark >/dev/null
export VONTREL_SIM_STATE=memory
unset VONTREL_SIM_CONFIG VONTREL_SIM_TRACE VONTREL_SIM_FAIL

run() {  # run TIMING PAIRS
    export VONTREL_SIM_TIMING=$1
    "$build/benchmarks/scpi_benchmark" direct "$2"
    local out
    out=$(mktemp)
    "$build/tools/vontrel" --unit serial:4660 serve --port 0 --quiet >"$out" &
    local server=$!
    trap 'kill $server 2>/dev/null; rm -f "$out"' EXIT
    local port=""
    for _ in $(seq 100); do
        port=$(sed -n 's/^unit .* port \([0-9]*\);.*/\1/p' "$out" | head -1)
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || { echo "the server did not start" >&2; exit 1; }
    "$build/benchmarks/scpi_benchmark" tcp "$port" "$2"
    kill -TERM "$server"
    wait "$server"
    trap - EXIT
    rm -f "$out"
}

echo "== without link timing (the server's own cost)"
run 0 "${PAIRS:-20000}"
echo "== with link timing (16 ms a exchange, as on the wire)"
run 1 "${TIMED_PAIRS:-20}"
