#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command in a network namespace of its own, with only the loopback
# interface up, and a mount namespace whose /run is a private tmpfs, with
# its own rpcbind (and, when installed, its own system message bus and
# avahi-daemon) started there and stopped at the end. Nothing the command
# sends, broadcasts included, can reach any other interface, and the
# machine's own rpcbind and avahi-daemon are neither used nor needed.
# Exits 77 (skipped) when not root or when a tool is missing.
set -euo pipefail

skip() {
  echo "SKIP: $*" >&2
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root (CI runs as root)"
for tool in unshare ip mount rpcbind; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing (scripts/setup.sh installs it)"
done

if [ "${VONTREL_NETNS_INSIDE:-}" != 1 ]; then
  VONTREL_NETNS_INSIDE=1 exec unshare --net --mount --propagation private -- "$0" "$@"
fi

ip link set lo up
# Multicast on lo, for mDNS inside the namespace; a broadcast address, for
# the VXI-11 discovery broadcast.
ip link set lo multicast on
ip addr change 127.0.0.1/8 broadcast 127.255.255.255 dev lo
mount -t tmpfs tmpfs /run

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

rpcbind -f &
pids+=($!)
export VONTREL_NETNS_RPCBIND=1

# mDNS: a system bus and avahi-daemon of this namespace's own.
if command -v dbus-daemon >/dev/null 2>&1 && command -v avahi-daemon >/dev/null 2>&1; then
  mkdir -p /run/dbus
  dbus-daemon --system --nofork --nopidfile &
  pids+=($!)
  for _ in $(seq 50); do
    [ -S /run/dbus/system_bus_socket ] && break
    sleep 0.1
  done
  avahi-daemon --no-drop-root --no-chroot --no-rlimits -s &
  pids+=($!)
  export VONTREL_NETNS_AVAHI=1
fi

# rpcbind answers once its socket is there.
for _ in $(seq 50); do
  [ -S /run/rpcbind.sock ] && break
  sleep 0.1
done
"$@"
