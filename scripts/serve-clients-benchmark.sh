#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What a lab client sees of `vontrel serve` on a simulated unit (no link
# timing): write-then-query pairs a second with pyvisa-py's default socket
# settings (each message its own packet, Nagle on), and the requests a
# second of `lxi benchmark -r` (*IDN? on a raw socket).
#   scripts/serve-clients-benchmark.sh [vontrel-binary]
# PAIRS (default 2000) and ROUNDS (default 3) set the run lengths.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/tools/vontrel}
export VONTREL_SIM_STATE=memory
unset VONTREL_SIM_CONFIG VONTREL_SIM_TRACE VONTREL_SIM_FAIL VONTREL_SIM_TIMING

out=$(mktemp)
"$tool" --unit serial:4660 serve --port 0 --quiet >"$out" &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$out"' EXIT
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^unit .* port \([0-9]*\);.*/\1/p' "$out" | head -1)
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "the server did not start" >&2; exit 1; }

for _ in $(seq "${ROUNDS:-3}"); do
    /usr/bin/python3 - "$port" "${PAIRS:-2000}" <<'PY'
import sys, time, pyvisa
port, pairs = int(sys.argv[1]), int(sys.argv[2])
rm = pyvisa.ResourceManager("@py")
gen = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n")
for command, query in (("*ESE 0", "*ESE?"), ("FREQ 2 GHZ", "FREQ?")):
    start = time.perf_counter()
    for _ in range(pairs):
        gen.write(command)
        gen.query(query)
    took = time.perf_counter() - start
    print(f"pyvisa-py {command!r} then {query!r}: {pairs / took:.0f} pairs/s "
          f"({1000 * took / pairs:.3f} ms a pair)")
gen.close()
PY
    lxi benchmark -a 127.0.0.1 -p "$port" -r -c "${PAIRS:-2000}" | tr "\r" "\n" | tail -1
done
kill -TERM "$server"
wait "$server"
