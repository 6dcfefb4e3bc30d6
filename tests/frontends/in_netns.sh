#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command in a network namespace of its own, with only the loopback
# interface up, and a mount namespace whose /run is a private tmpfs, with
# its own rpcbind (and, when installed, its own system message bus and
# avahi-daemon) started there and stopped at the end. Nothing the command
# sends, broadcasts included, can reach any other interface, and the
# machine's own rpcbind and avahi-daemon are neither used nor needed.
#
#   in_netns.sh [--bare] [--else-run] COMMAND [ARG...]
#
# --bare: only the network namespace with lo up; /run stays the machine's
# and no daemon is started (a browser, say, then starts no services over a
# system bus of the namespace's own).
# Where no namespace can be made (not root, a tool missing, namespaces not
# allowed here), exits 77 (skipped), or with --else-run runs the command as
# it is, for tests that are still worth running on the machine's network.
set -euo pipefail

bare=0
else_run=0
while :; do
  case "${1:-}" in
    --bare) bare=1 ;;
    --else-run) else_run=1 ;;
    *) break ;;
  esac
  shift
done
cannot() {
  if [ "$else_run" = 1 ]; then
    exec "$@"
  fi
  echo "SKIP: $why" >&2
  exit 77
}

if [ "${VONTREL_NETNS_INSIDE:-}" != 1 ]; then
  why=""
  [ "$(id -u)" -eq 0 ] || why="network namespaces need root (CI runs as root)"
  for tool in unshare ip mount rpcbind; do
    command -v "$tool" >/dev/null 2>&1 || why="$tool is missing (scripts/setup.sh installs it)"
  done
  [ -n "$why" ] || unshare --net true 2>/dev/null || why="network namespaces are not allowed here"
  [ -z "$why" ] || cannot "$@"
  if [ "$bare" = 1 ]; then
    exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
  fi
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
