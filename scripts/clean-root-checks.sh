#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Run by scripts/deb-test.sh --clean-root inside a fresh minimal Debian root
# (mmdebstrap, the machine's package sources), where the packages are
# served from a local repository: each package is installed alone, with
# what it depends on from the mirror, used as the README and its man page
# say, and purged again with what it brought, so that one root serves every
# package.
#   usage: clean-root-checks.sh VERSION DIR   (DIR: the source tree's tests/consumer)
set -euo pipefail
version=$1
consumer=$2
export DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin
work=$(mktemp -d)

step() { echo "== clean root: $* =="; }
fail() { echo "clean root: $*" >&2; exit 1; }
apt_get() { apt-get -o APT::Install-Recommends=true -y -qq "$@" >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"; fail "apt-get $*"; }; }
# What is installed of ours; nothing once a package is purged again.
ours() { dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk '$1 ~ /vontrel/ && $2 != "un" { print $1 }'; }
# Installs PACKAGES alone (with their dependencies and recommendations).
alone() { step "apt-get install $*"; apt_get install "$@"; }
purge() {
    apt_get purge --autoremove "$@"
    [ -z "$(ours)" ] || fail "left after purging $*: $(ours)"
}
expect_exit() {  # expect_exit STATUS COMMAND...: the output, and the status checked
    local want=$1 rc=0
    shift
    out=$("$@" 2>&1) || rc=$?
    echo "$out"
    [ "$rc" -eq "$want" ] || fail "$* exited with $rc, not $want"
}

alone libvontrel0
library=$(find /usr/lib -name libvontrel.so.0 -print -quit)
[ -n "$library" ] || fail "libvontrel.so.0 is not installed"
libraries=$(ldd "$library")
! grep -q 'not found' <<<"$libraries" || fail "libvontrel.so.0 misses a library: $libraries"
grep -q 'libftd2xx.so => .*/vontrel/serial/libftd2xx.so' <<<"$libraries" ||
    fail "libvontrel.so.0 does not find its serial D2XX library: $libraries"
purge libvontrel0

alone vontrel
expect_exit 0 vontrel --version
# What it was built with, then the library it loaded.
[ "$(head -n1 <<<"$out")" = "vontrel $version (built with the libvontrel $version headers)" ] &&
    grep -q "^libvontrel loaded: .*(SONAME libvontrel.so.0, file version $version)$" <<<"$out" ||
    fail "vontrel --version: $out"
expect_exit 1 vontrel list
grep -qi "no unit" <<<"$out" || fail "vontrel list with no unit does not say so"
[ -f /usr/share/man/man1/vontrel.1.gz ] || fail "no vontrel(1)"
for p in rpcbind avahi-daemon; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
        fail "installing vontrel installed $p"
done
getent group vontrel >/dev/null || fail "installing vontrel made no group vontrel"
step "vontrel-sim run -- vontrel list (the README's simulator line)"
apt_get install vontrel-sim
expect_exit 0 vontrel-sim run -- vontrel list
grep -q 4660 <<<"$out" && grep -q 12345 <<<"$out" || fail "the simulator's units are not listed"
purge vontrel vontrel-sim

alone vontrel-sim
expect_exit 0 vontrel-sim --version
[ "$out" = "vontrel-sim $version" ] || fail "vontrel-sim --version: $out"
expect_exit 0 env VONTREL_SIM_STATE=memory vontrel-sim show
expect_exit 127 vontrel-sim run -- no-such-program
[ -f /usr/share/man/man1/vontrel-sim.1.gz ] || fail "no vontrel-sim(1)"
purge vontrel-sim

alone vontrel-tango
expect_exit 0 vontrel-tango --help
grep -q VontrelSynthesizer <<<"$out" || fail "vontrel-tango --help does not describe the server"
expect_exit 2 env -u TANGO_HOST vontrel-tango bench
grep -q "TANGO_HOST=" <<<"$out" || fail "vontrel-tango without TANGO_HOST does not say what to set"
[ -f /usr/share/man/man1/vontrel-tango.1.gz ] || fail "no vontrel-tango(1)"
purge vontrel-tango

alone python3-vontrel
expect_exit 0 python3 -c 'import importlib.metadata as m, vontrel; print(m.version("vontrel"))'
[ "$out" = "$version" ] || fail "the Python package's metadata says version '$out'"
python3 -c 'import os, vontrel; assert os.path.exists(os.path.join(os.path.dirname(vontrel.__file__), "py.typed"))' ||
    fail "the Python package is not marked as typed (py.typed)"
expect_exit 1 python3 -c 'import vontrel; vontrel.open()'
grep -q "UnitNotFoundError: no unit found" <<<"$out" || fail "no unit is not reported as such"
step "vontrel-sim run -- python3 (the README's Python example)"
apt_get install vontrel-sim
expect_exit 0 vontrel-sim run -- python3 -c '
import vontrel
with vontrel.open() as unit:
    print(unit.info)
    unit.apply(frequency=2455.0, mode=vontrel.Mode.LEVEL, level=5.0)
    assert unit.wait_lock(timeout=1.0)
    print(unit.status)'
purge python3-vontrel vontrel-sim

alone libvontrel-doc
for f in tango.md scpi.md README.md examples/set_and_status.py examples/set_and_status.c; do
    [ -f "/usr/share/doc/libvontrel-doc/$f" ] || fail "libvontrel-doc has no $f"
done
purge libvontrel-doc

alone libvontrel-dev
step "a C and a C++ program through pkg-config and find_package(vontrel), as the README builds them"
apt_get install g++ pkg-config cmake make vontrel-sim
cp -r "$consumer" "$work/consumer"
cd "$work"
# shellcheck disable=SC2046
cc -o consumer-pc consumer/consumer.c $(pkg-config --cflags --libs vontrel) ||
    fail "the C program does not build through pkg-config"
# shellcheck disable=SC2046
c++ -o consumer-pc-cpp consumer/consumer.cpp $(pkg-config --cflags --libs vontrel++) ||
    fail "the C++ program does not build through pkg-config vontrel++"
# cmake_build DIR ARGS...: configures and builds the consumers, showing
# CMake's output when that fails.
cmake_build() {
    local dir=$1
    shift
    { cmake -S consumer -B "$dir" "$@" && cmake --build "$dir"; } >"$work/cmake.log" 2>&1 || {
        cat "$work/cmake.log"; return 1; }
}
cmake_build cmake-build -DCONSUMER_MAINS=OFF ||
    fail "the programs do not build through find_package(vontrel)"
for exe in consumer-pc consumer-pc-cpp cmake-build/consumer cmake-build/consumer_cpp; do
    VONTREL_SIM_STATE=memory vontrel-sim run -- "./$exe" >/dev/null || fail "$exe failed on the simulator"
done

step "apt-get install libvontrel-mains-dev: the mains switch's program through find_package(vontrel-mains)"
apt_get install libvontrel-mains-dev
cmake_build mains-build || fail "the mains switch's program does not build through find_package(vontrel-mains)"
VONTREL_SIM_STATE=memory vontrel-sim run -- ./mains-build/mains_consumer >/dev/null ||
    fail "mains_consumer failed on the simulator"
cd /
purge libvontrel-mains-dev libvontrel-dev vontrel-sim g++ pkg-config cmake make
echo "clean root: every package passed"
