# SPDX-License-Identifier: MIT
# Sourced by the timing scripts: a scratch folder ($work, removed on exit)
# and `vontrel-sim serve --pty` started and stopped around a measurement.
#
#   start_pty_server SIM LATENCY_MS [NAME=VALUE...]   sets $port and $description
#   stop_pty_server
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

start_pty_server() {
    local sim=$1 latency=$2
    shift 2
    : >"$work/ports"
    env "$@" "$sim" serve --pty --latency-ms "$latency" >"$work/ports" &
    server=$!
    for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.05; done
    read -r port description <"$work/ports" || {
        echo "vontrel-sim serve --pty announced no port" >&2
        exit 1
    }
}

stop_pty_server() {
    kill "$server" && wait "$server" 2>/dev/null || true
    server=""
}
