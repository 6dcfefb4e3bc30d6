#!/usr/bin/env bash
# The exports against the link's time, on the simulator with link timing on:
# each export's measured time per call beside its exchanges times the
# modelled exchange (d2xx/link_model.h) at latency timers of 1, 2, 4, 8 and
# 16 ms, and the rate of Vontrel_WriteStatus calls with 1, 2, 4 and 8 units
# driven at once. Writes bench/results/link_timing.csv and scaling.csv and
# draws docs/performance-latency.svg. Takes about a minute; run it on a
# quiet machine, since the figures are wall-clock times.
#
#   scripts/link_timing.sh [BUILD_DIR]     (default build/; CALLS=5 calls each)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
calls=${CALLS:-5}
cmake --build "$build" -j"${JOBS:-2}" --target link_timing >/dev/null
results=bench/results
mkdir -p "$results"

echo "latency_ms,call,exchanges,measured_ms,model_ms,ratio" >"$results/link_timing.csv"
for latency in 1 2 4 8 16; do
    VONTREL_SIM_STATE=memory VONTREL_SIM_TIMING=1 VONTREL_SIM_LATENCY_MS=$latency \
        "$build/bench/link_timing" exports "$calls" >>"$results/link_timing.csv"
done
echo "latency_ms,units,calls_per_s,speedup" >"$results/scaling.csv"
for latency in 1 16; do
    VONTREL_SIM_STATE=memory VONTREL_SIM_TIMING=1 VONTREL_SIM_LATENCY_MS=$latency \
        "$build/bench/link_timing" scaling "$calls" >>"$results/scaling.csv"
done
/usr/bin/python3 scripts/plot_latency.py "$results/link_timing.csv" docs/performance-latency.svg
column -s, -t "$results/link_timing.csv" "$results/scaling.csv"
