#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from this tree as the README says (build
# dependencies from debian/control, dpkg-buildpackage without tests), checks
# them with lintian, installs them on this machine with apt-get and uses
# them as a user would: the tool with and without the simulator, C programs
# built through pkg-config and find_package(vontrel), the Python package,
# the service's unit, account and udev rule, and the service's own command
# line run as its user against pseudo-terminal units whose nodes carry the
# udev rule's group and mode. Then it purges the packages and checks that
# no file is left behind.
#
# It needs root and installs into the machine itself (CI's is thrown away),
# but leaves the machine as it found it: packages purged, the service's
# account removed again when it created it. Packages left by a run that was
# stopped are purged first, so it can run again.
#   usage: scripts/deb-test.sh [--clean-root | --clean-root-only]
# With VONTREL_DEBS=DIR the packages are built into DIR and kept there, or
# taken from there when DIR already holds them (to check them again without
# building).
# They are built with the flags of scripts/package-flags.sh, at this tree's
# path (a copy put in its place in a mount namespace of their own), through
# ccache when it is installed: after the test command's gcc build, which
# compiles the same way, their build compiles nothing. Without debug
# symbol packages (DEB_BUILD_OPTIONS=noddebs); VONTREL_DEB_BUILD_OPTIONS=
# nocheck builds them as a build machine does.
#
# --clean-root also installs each package alone into a fresh minimal Debian
# root made with mmdebstrap from this machine's package sources, with what
# it depends on from the mirror, and uses it there as the README and its
# man page say (scripts/clean-root-checks.sh): what a system that never
# built anything has. --clean-root-only does only that (and the build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export DEBIAN_FRONTEND=noninteractive

build_options=${VONTREL_DEB_BUILD_OPTIONS:-nocheck noddebs parallel=2}
packages=(libvontrel0 libvontrel-dev libvontrel-mains0 libvontrel-mains-dev vontrel vontrel-tango
          python3-vontrel vontrel-sim libvontrel-doc)
machine=1
clean_root=0
case "${1:-}" in
    "") ;;
    --clean-root) clean_root=1 ;;
    --clean-root-only) clean_root=1 machine=0 ;;
    *) echo "usage: scripts/deb-test.sh [--clean-root | --clean-root-only]" >&2; exit 2 ;;
esac
work=""
server=""
service=""
account=""
account_existed=1

# Another apt-get at work (a setup script) holds the lock for a while: wait.
apt_get() { apt-get -o DPkg::Lock::Timeout=600 "$@"; }
step() { echo "== $* =="; }
fail() { echo "deb-test: $*" >&2; exit 1; }

installed_packages() {
    local p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' installed$\| config-files$' &&
            echo "$p"
    done
    return 0
}
purge_packages() {
    local left
    left=$(installed_packages)
    # shellcheck disable=SC2086
    [ -z "$left" ] || apt_get purge -y -qq $left >/dev/null
}
cleanup() {
    local p
    for p in "$service" "$server"; do
        [ -n "$p" ] && kill "$p" 2>/dev/null && wait "$p" 2>/dev/null
    done
    purge_packages || echo "deb-test: could not purge the packages" >&2
    if [ "$account_existed" -eq 0 ] && getent passwd "$account" >/dev/null; then
        userdel "$account" || echo "deb-test: could not remove the user $account" >&2
    fi
    if [ "$account_existed" -eq 0 ] && getent group "$account" >/dev/null; then
        groupdel "$account" || echo "deb-test: could not remove the group $account" >&2
    fi
    [ -z "$work" ] || rm -rf "$work"
}

[ "$(id -u)" -eq 0 ] || fail "needs root: it installs the packages on this machine"
work=$(mktemp -d /tmp/vontrel-deb.XXXXXX)
trap cleanup EXIT

left=$(installed_packages)
if [ -n "$left" ]; then
    echo "purging packages left by an earlier run: $left"
    purge_packages
fi

# Every file of the system that packages own or make, for comparison after
# the purge. Package managers' own records and caches, and the backups the
# account tools make of the account files, are not the packages' files.
snapshot() {
    find /usr /etc /var/lib /opt -xdev \
        \( -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/lib/ucf \) -prune -o \
        \( -path /etc/passwd- -o -path /etc/group- -o -path /etc/shadow- \
           -o -path /etc/gshadow- \) -o -print | sort
}

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debs_dir=${VONTREL_DEBS:-$work}
mkdir -p "$debs_dir"
debs_dir=$(realpath "$debs_dir")
changes=$debs_dir/vontrel_${version}_${arch}.changes
if [ -f "$changes" ]; then
    step "packages already built in $debs_dir"
else
    step "build: apt-get build-dep ./ && dpkg-buildpackage -us -uc"
    src=$work/src/$(basename "$root")
    mkdir -p "$src"
    # The tree as it is, committed or not, without build folders or ignored files.
    git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$src" -xf -
    (cd "$src" && apt_get build-dep -y -qq ./ >/dev/null)
    # shellcheck source=scripts/package-flags.sh disable=SC1091
    . scripts/package-flags.sh
    if command -v ccache >/dev/null; then
        # debhelper gives the build a HOME of its own: the cache is named.
        CCACHE_DIR=$(ccache -k cache_dir)
        export CCACHE_DIR CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    fi
    # With the system's tools only, as on a build machine (not a python3 of
    # another installation that comes first on PATH). The copy is seen at
    # this tree's path, in a mount namespace of the build's own; the
    # results land beside the tree (where none of this version may be
    # already, or the copy is built where it is, from nothing).
    build=(env PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="$build_options"
        dpkg-buildpackage -us -uc)
    results=$work/src
    if unshare -m true 2>/dev/null && ! compgen -G "$(dirname "$root")/*_${version}[._]*" >/dev/null; then
        build=(unshare -m --propagation private bash -c 'mount --bind "$1" "$2" && cd "$2" && shift 2 && exec "$@"'
            - "$src" "$root" "${build[@]}")
        results=$(dirname "$root")
    else
        echo "packages built from nothing: $(dirname "$root") holds packages of version $version"
        cd "$src"
    fi
    if ! "${build[@]}" >"$work/build.log" 2>&1; then
        tail -n 60 "$work/build.log"
        fail "dpkg-buildpackage failed"
    fi
    cd "$root"
    # What the build made: the files its .changes names, and the .changes.
    made=$results/vontrel_${version}_${arch}.changes
    [ -f "$made" ] || fail "dpkg-buildpackage made no $made"
    awk '/^Files:/ { on = 1; next } /^[^ ]/ { on = 0 } on { print $5 }' "$made" |
        while read -r f; do mv "$results/$f" "$debs_dir/"; done
    mv "$made" "$debs_dir/"
fi
[ -f "$changes" ] || fail "no $changes"
ls "$debs_dir"/*.deb "$debs_dir"/*.dsc "$debs_dir"/*.tar.* >/dev/null || fail "a package is missing"

# Each package alone in a fresh minimal root: scripts/clean-root-checks.sh
# run there, the packages served from a local repository beside the mirror.
clean_root_check() {
    step "each package alone in a clean Debian root (mmdebstrap)"
    command -v mmdebstrap >/dev/null || fail "mmdebstrap is not installed (Debian: mmdebstrap)"
    local repo=$work/repo sources=() f suite begin=$SECONDS
    mkdir -p "$repo"
    cp "$debs_dir"/*_"$version"_*.deb "$repo/"
    (cd "$repo" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)
    cp scripts/clean-root-checks.sh "$repo/"
    cp -r tests/consumer "$repo/consumer"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -s "$f" ] && sources+=("$f")
    done
    [ ${#sources[@]} -gt 0 ] || fail "this machine has no package sources for mmdebstrap"
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mmdebstrap --quiet --variant=apt --format=null --include=ca-certificates \
        --customize-hook="copy-in $repo /opt" \
        --customize-hook='echo "deb [trusted=yes] file:/opt/repo ./" >"$1/etc/apt/sources.list.d/vontrel.list"' \
        --customize-hook='chroot "$1" apt-get update -qq' \
        --customize-hook="chroot \"\$1\" bash /opt/repo/clean-root-checks.sh $version /opt/repo/consumer" \
        "$suite" /dev/null "${sources[@]}" || fail "the packages failed in a clean root"
    echo "clean root: $((SECONDS - begin)) s"
}
if [ "$machine" -eq 0 ]; then
    clean_root_check
    echo "deb-test: passed in a clean root (packages $version)"
    exit 0
fi

step "lintian --fail-on error,warning"
rc=0
lintian --fail-on error,warning "$changes" >"$work/lintian.log" 2>&1 || rc=$?
grep -v '^warning: running with root privileges' "$work/lintian.log" || true
[ "$rc" -eq 0 ] || fail "lintian found errors or warnings"

# The service's account, as the package's sysusers.d file names it.
account=$(dpkg-deb --fsys-tarfile "$debs_dir/vontrel_${version}_${arch}.deb" |
    tar -xOf - ./usr/lib/sysusers.d/vontrel.conf | awk '$1 == "u" { print $2 }')
[ -n "$account" ] || fail "the vontrel package creates no account"
getent passwd "$account" >/dev/null || account_existed=0

step "apt-get install ./*.deb"
before=$work/files-before
snapshot >"$before"
debs=()
for p in "${packages[@]}"; do
    debs+=("$debs_dir/${p}_${version}_"*.deb)
done
apt_get install -y -qq "${debs[@]}" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    fail "apt-get install failed"
}

# Programs run with the environment a user's shell has, without anything
# this script or CI set.
as_user() { env -i PATH=/usr/bin:/bin HOME="$work" LANG=C.UTF-8 "$@"; }
# The simulator as the README uses it.
with_sim() { as_user VONTREL_SIM_STATE=memory vontrel-sim run -- "$@"; }

step "vontrel --version, vontrel list"
out=$(as_user vontrel --version)
grep -qxF "vontrel $version (built with the libvontrel $version headers)" <<<"$out" &&
    grep -qE "^libvontrel loaded: /usr/lib/[^ ]*/libvontrel\.so\.$version \(SONAME libvontrel\.so\.0, file version $version\)$" <<<"$out" ||
    fail "vontrel --version: $out"
set +e
out=$(cd "$work" && as_user vontrel list 2>&1)
rc=$?
set -e
echo "$out"
[ "$rc" -eq 1 ] || fail "vontrel list with no unit attached exited with $rc, not 1"
grep -qi "no unit" <<<"$out" || fail "vontrel list with no unit attached does not say so"
out=$(cd "$work" && with_sim vontrel list)
echo "$out"
grep -q 4660 <<<"$out" && grep -q 12345 <<<"$out" ||
    fail "vontrel list does not show the simulator's units"
step "vontrel-tango --help, -?"
for option in --help '-?'; do
    out=$(as_user vontrel-tango "$option") || fail "vontrel-tango $option failed"
    grep -q VontrelSynthesizer <<<"$out" ||
        fail "vontrel-tango $option does not describe the server"
done
for page in vontrel vontrel-sim vontrel-tango; do
    [ -f "/usr/share/man/man1/$page.1.gz" ] || fail "no man page $page(1)"
done

step "C and C++ programs: pkg-config (vontrel, vontrel++) and find_package(vontrel)"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" tests/consumer/consumer.c \
    $(as_user pkg-config --cflags --libs vontrel)
# shellcheck disable=SC2046
c++ -Wall -Wextra -Werror -o "$work/consumer-pc-cpp" tests/consumer/consumer.cpp \
    $(as_user pkg-config --cflags --libs vontrel++)
cmake -S tests/consumer -B "$work/consumer-cmake" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
# The file a program loads for a library (/lib is /usr/lib on Debian 12).
loaded() { realpath "$(ldd "$1" | awk -v lib="$2" '$1 == lib { print $3 }')"; }
for exe in "$work/consumer-pc" "$work/consumer-pc-cpp" "$work/consumer-cmake/consumer" \
           "$work/consumer-cmake/consumer_cpp"; do
    [ "$(loaded "$exe" libvontrel.so.0)" = "/usr/lib/$multiarch/libvontrel.so.$version" ] ||
        fail "$exe does not load the installed library"
    [ "$(loaded "$exe" libftd2xx.so)" = "/usr/lib/$multiarch/vontrel/serial/libftd2xx.so" ] ||
        fail "$exe does not load the serial D2XX library"
    with_sim "$exe" || fail "$exe failed on the simulator"
done

step "python3 -c 'import vontrel'"
# The file the process mapped for the library it loaded.
python_loads='
import os, vontrel
vontrel.library()
print(next(os.path.realpath(line.split()[-1]) for line in open("/proc/self/maps")
           if "libvontrel.so" in line))'
out=$(cd "$work" && as_user /usr/bin/python3 -c "$python_loads") || fail "import vontrel failed"
[ "$out" = "/usr/lib/$multiarch/libvontrel.so.$version" ] ||
    fail "Python loads '$out', not the installed library"
(cd "$work" && with_sim /usr/bin/python3 "$root/examples/set_and_status.py") ||
    fail "the Python example failed on the simulator"

step "the service: unit, account, udev rule"
unit=/lib/systemd/system/vontrel-serve.service
rule=/lib/udev/rules.d/60-vontrel.rules
systemd-analyze verify "$unit"
getent passwd "$account" >/dev/null && getent group "$account" >/dev/null ||
    fail "the account $account was not created"
[ -f "$rule" ] || fail "no udev rule in $rule"
unit_value() { sed -n "s/^$1=//p" "$unit"; }
user=$(unit_value User)
group=$(unit_value Group)
[ "$user" = "$account" ] && [ "$group" = "$account" ] ||
    fail "the service runs as $user:$group, not as its account $account"
# What the rule's lines (not its comments) assign.
rule_value() { grep -v '^#' "$rule" | grep -o "$1=\"[^\"]*\"" | cut -d'"' -f2 | sort -u; }
rule_group=$(rule_value GROUP)
rule_mode=$(rule_value MODE)
[ "$rule_group" = "$group" ] && [ "$rule_mode" = 0660 ] ||
    fail "the udev rule gives units' ttys to '$rule_group' mode '$rule_mode', not $group 0660"

step "the service's command line as $user, on pseudo-terminals of group $rule_group"
# The simulated bench on pseudo-terminals, their nodes given as the udev
# rule gives a converter's tty.
vontrel-sim serve --pty >"$work/ports" 2>"$work/sim.log" &
server=$!
for _ in $(seq 100); do [ "$(wc -l <"$work/ports")" -ge 3 ] && break; sleep 0.05; done
ports=""
while read -r path description; do
    ports+="${ports:+,}$path=$description"
done <"$work/ports"
[ -n "$ports" ] || fail "vontrel-sim serve --pty announced no port"
ttys() { while read -r path _; do "$@" "$path"; done <"$work/ports"; }

# ExecStart as systemd runs it: the defaults file's VONTREL_SERVE_ARGS, with
# a free port as an administrator would set it there, split into words.
env_file=$(unit_value EnvironmentFile)
env_file=${env_file#-}
# shellcheck source=/dev/null
args=$(VONTREL_SERVE_ARGS="" && . "$env_file" && echo "$VONTREL_SERVE_ARGS")
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
args=$(sed -E "s/--port [0-9]+/--port $port/" <<<"$args")
# Nothing announced on the machine's network, nor registered with its
# rpcbind, by a test.
args="$args --mdns off --vxi11 off"
exec_start=$(unit_value ExecStart)
read -ra command <<<"${exec_start//\$VONTREL_SERVE_ARGS/$args}"
# As the unit's user and group (with the user's groups), no capabilities,
# the environment systemd gives it.
service_command=(setpriv --reuid="$user" --regid="$group" --init-groups --inh-caps=-all
    env -i PATH=/usr/bin:/bin VONTREL_SERIAL_PORTS="$ports" "${command[@]}")
echo "${command[*]}"

# SCPI over the service's port: the unit's identity, then a frequency
# written and read back through the tty.
scpi_check() {
    python3 - "$port" <<'EOF'
import socket, sys, time
port = int(sys.argv[1])
deadline = time.monotonic() + 10
while True:
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("the service does not listen on port %d" % port)
        time.sleep(0.1)
f = s.makefile("rw", newline="\n")
def query(q):
    f.write(q + "\n"); f.flush()
    return f.readline().strip()
idn = query("*IDN?")
print(idn)
assert idn.startswith("Vontrel,"), idn
f.write("FREQ 2.455 GHz\n"); f.flush()
freq = query("FREQ?;SYST:ERR?")
print(freq)
assert freq == '2455000000;0,"No error"', freq
EOF
}

ttys chgrp "$rule_group"
ttys chmod "$rule_mode"
"${service_command[@]}" >"$work/serve.log" 2>&1 &
service=$!
scpi_check || { cat "$work/serve.log"; fail "the service does not serve the units"; }
kill "$service"
rc=0
wait "$service" || rc=$?
service=""
[ "$rc" -eq 0 ] || { cat "$work/serve.log"; fail "the service exited with $rc on SIGTERM"; }

# The same nodes without the group's access: the service must fail, not
# serve, which shows the access above came from the group.
ttys chgrp root
ttys chmod 0600
rc=0
timeout 30 "${service_command[@]}" >"$work/serve-denied.log" 2>&1 || rc=$?
[ "$rc" -eq 1 ] || { cat "$work/serve-denied.log"; fail "the service without access exited with $rc, not 1"; }
kill "$server" && wait "$server" 2>/dev/null || true
server=""

step "apt-get purge"
apt_get purge -y -qq "${packages[@]}" >/dev/null
[ -z "$(installed_packages)" ] || fail "packages left after the purge: $(installed_packages)"
snapshot >"$work/files-after"
if ! diff "$before" "$work/files-after" >"$work/files.diff"; then
    cat "$work/files.diff"
    fail "the purge left the file system different from before the install"
fi
# Debian keeps system accounts after a purge: files they own may remain.
getent passwd "$account" >/dev/null || fail "the purge removed the system user $account"
[ "$clean_root" -eq 0 ] || clean_root_check
echo "deb-test: passed (packages $version)"
