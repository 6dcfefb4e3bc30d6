#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times `vontrel status` through a real pseudo-terminal: libvontrel.so, the
# serial libftd2xx.so, and `vontrel-sim serve --pty` with one unit, its
# latency timer at 16 ms and then at 1 ms. Prints, for each, the exchanges
# one status takes, the wire model (each exchange 16 bytes at 19230 baud
# 8N1, 8.32 ms, then the wait for the next tick of the latency timer), the
# link time measured in the server's frame trace (first command in to last
# reply out), their ratio, and the whole command's wall time.
#
#   scripts/pty-timing.sh [BUILD_DIR] [RUNS]      (defaults: build, 20)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-20}
sim="$build/d2xx/sim/vontrel-sim"
tool="$build/tools/vontrel"
for f in "$sim" "$tool" "$build/d2xx/serial/libftd2xx.so"; do
    [ -e "$f" ] || { echo "missing $f: build the tree first (libserialport-dev is needed)" >&2; exit 1; }
done

source scripts/pty-server.sh
echo '{"converters": [{"description": "Vontrel Synthesizer", "serial": 4660}]}' >"$work/bench.json"

# Milliseconds since midnight of a trace time stamp HH:MM:SS.micro.
stamp_ms='function ms(t,  a) { split(t, a, ":"); return (a[1] * 3600 + a[2] * 60 + a[3]) * 1000 }'

printf '%-8s %-10s %-12s %-14s %-7s %s\n' latency exchanges "model (ms)" "measured (ms)" ratio "whole command (ms)"
for latency in 16 1; do
    : >"$work/trace"
    start_pty_server "$sim" "$latency" VONTREL_SIM_CONFIG="$work/bench.json" \
        VONTREL_SIM_TRACE="$work/trace"
    export LD_LIBRARY_PATH="$build/d2xx/serial" VONTREL_SERIAL_PORTS="$port=$description"
    "$tool" status >/dev/null  # once to warm the caches
    link_total=0 whole_total=0 exchanges=0
    for _ in $(seq "$runs"); do
        : >"$work/trace"
        start=$(date +%s%N)
        "$tool" status >/dev/null
        end=$(date +%s%N)
        whole_total=$((whole_total + (end - start) / 1000))
        read -r n span < <(awk "$stamp_ms"'
            / -> / { n++; if (!first) first = ms($1) }
            / <- / { last = ms($1) }
            END { printf "%d %.0f\n", n, (last - first) * 1000 }' "$work/trace")
        exchanges=$n
        link_total=$((link_total + span))
    done
    stop_pty_server
    awk -v l="$latency" -v n="$exchanges" -v link="$link_total" -v whole="$whole_total" -v runs="$runs" '
        BEGIN {
            wire = 16 * 10 * 1000 / 19230
            exchange = l > 0 ? int(wire / l + 0.999999) * l : wire
            model = n * exchange
            measured = link / runs / 1000
            printf "%-8s %-10d %-12.1f %-14.1f %-7.3f %.1f\n", l " ms", n, model, measured,
                   measured / model, whole / runs / 1000
        }'
done
