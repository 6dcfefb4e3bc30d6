#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The exports against the link's time: each export's measured time per call
# beside its exchanges times the modelled exchange (d2xx/link_model.h), at
# latency timers of 1, 2, 4, 8 and 16 ms, both in process (the simulator
# with link timing on) and through real pseudo-terminals (the serial D2XX
# library and `vontrel-sim serve --pty`); and the rate of
# Vontrel_WriteStatus calls with 1, 2, 4 and 8 units driven at once.
# Writes benchmarks/results/link_timing.csv, link_timing_pty.csv and scaling.csv,
# and draws docs/performance-latency.svg from the first. Takes a few
# minutes; run it on a quiet machine, the figures are wall-clock times.
#
#   scripts/link_timing.sh [BUILD_DIR]     (default build/; CALLS=5 calls each)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
calls=${CALLS:-5}
cmake --build "$build" -j"${JOBS:-2}" --target link_timing vontrel_sim >/dev/null
results=benchmarks/results
mkdir -p "$results"
source scripts/pty-server.sh

# Benches of eight units and of one, kept in each process's own memory.
bench() {
    local units=$1 list="" u
    for ((u = 0; u < units; u++)); do
        list+="${list:+, }{\"description\": \"Vontrel Synthesizer\", \"serial\": $((100 + u))}"
    done
    echo "{\"converters\": [$list]}"
}
bench 8 >"$work/eight.json"
bench 1 >"$work/one.json"
sim() {  # LATENCY ARGS...: link_timing over the simulator with link timing on
    local latency=$1
    shift
    VONTREL_SIM_CONFIG="$work/eight.json" VONTREL_SIM_STATE=memory VONTREL_SIM_TIMING=1 \
        VONTREL_SIM_LATENCY_MS="$latency" "$build/benchmarks/link_timing" "$@"
}

header="latency_ms,call,exchanges,measured_ms,model_ms,ratio"
echo "$header" >"$results/link_timing.csv"
echo "$header" >"$results/link_timing_pty.csv"
for latency in 1 2 4 8 16; do
    sim "$latency" exports "$latency" "$calls" >>"$results/link_timing.csv"

    start_pty_server "$build/d2xx/sim/vontrel-sim" "$latency" VONTREL_SIM_CONFIG="$work/one.json"
    LD_LIBRARY_PATH="$build/d2xx/serial" VONTREL_SERIAL_PORTS="$port=$description" \
        "$build/benchmarks/link_timing" exports "$latency" "$calls" >>"$results/link_timing_pty.csv"
    stop_pty_server
done
echo "latency_ms,units,calls_per_s,speedup" >"$results/scaling.csv"
for latency in 1 16; do
    sim "$latency" scaling "$latency" "$calls" >>"$results/scaling.csv"
done
/usr/bin/python3 scripts/plot_latency.py "$results/link_timing.csv" docs/performance-latency.svg
for f in link_timing link_timing_pty scaling; do
    echo "== $f"
    column -s, -t "$results/$f.csv"
done
