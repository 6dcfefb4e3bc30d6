#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and builds tests/consumer
# against it, in C and in C++ (the typed API, with no -std of the
# consumer's own), once through find_package(vontrel) and once through
# pkg-config (vontrel, vontrel++), and the mains switch's consumer through
# find_package(vontrel-mains) and pkg-config, then runs them against the
# simulator installed privately under <prefix>/lib/vontrel/sim; builds them
# again with this source tree as a subproject (add_subdirectory); and
# installs the Python package into a plain virtual environment, offline.
#   usage: scripts/consumer-check.sh [build-dir]   (default: $BUILD_DIR or build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=$(realpath "${1:-${BUILD_DIR:-build}}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
cmake --install "$build_dir" --prefix "$prefix" --component simulator >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libvontrel.so' -print -quit)")
sim_dir=$libdir/vontrel/sim

fail() { echo "consumer-check: $*" >&2; exit 1; }
# Whether a program loads the installed libvontrel.so.0 (not the build tree's).
loads_installed() {
  local path
  path=$(ldd "$1" | awk '/libvontrel\.so\.0/ { print $3 }')
  [ -n "$path" ] && [ "$(realpath "$path")" = "$(realpath "$libdir/libvontrel.so.0")" ]
}
[ -L "$libdir/libvontrel.so" ] && [ -L "$libdir/libvontrel.so.0" ] || fail "version links missing"
# (Read whole first: grep -q stops early, and pipefail would take the
# writer's broken pipe for a failure.)
grep -q 'SONAME *libvontrel\.so\.0$' <<<"$(objdump -p "$libdir/libvontrel.so.0")" || fail "no SONAME"
[ ! -e "$libdir/libftd2xx.so" ] || fail "the simulator was installed as the system's D2XX library"
grep -q INTERFACE_COMPILE_OPTIONS "$libdir/cmake/vontrel/vontrelTargets.cmake" \
  && fail "compile options leak to consumers"
export PKG_CONFIG_PATH=$libdir/pkgconfig
cflags=$(pkg-config --cflags vontrel)
case "$cflags" in *-W*|*-f*) fail "pkg-config passes flags to consumers: $cflags" ;; esac

# Linking and running need a libftd2xx.so; here it is the simulator, with a
# bench of its own in each process.
export LD_LIBRARY_PATH=$sim_dir
export VONTREL_SIM_STATE=memory

if [ -e "$build_dir/tools/vontrel" ]; then
  echo "== the installed tool =="
  [ -x "$prefix/bin/vontrel" ] || fail "the vontrel tool was not installed"
  "$prefix/bin/vontrel" --help >/dev/null || fail "the installed tool does not run"
  loads_installed "$prefix/bin/vontrel" || fail "the tool does not load the installed library"
fi

echo "== consumers in C and C++ through find_package(vontrel) =="
cmake -S tests/consumer -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"
"$work/cmake-build/consumer_cpp"

echo "== consumer with the source tree as a subproject (add_subdirectory) =="
# Only the library is built there: no tests, programs or install rules.
# (Not optimised: what is checked is how it builds and links, not its code.)
cmake -S tests/consumer -B "$work/subproject" -DVONTREL_SOURCE_DIR="$root" \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$work/subproject" -j2 --target consumer >/dev/null
[ ! -e "$work/subproject/vontrel/tools" ] || fail "a subproject builds the programs too"
cmake --install "$work/subproject" --prefix "$work/subproject-prefix" >/dev/null
[ -z "$(find "$work/subproject-prefix" -name 'libvontrel*' 2>/dev/null)" ] ||
  fail "a subproject installs the library"
LD_LIBRARY_PATH=$work/subproject/vontrel/d2xx/sim "$work/subproject/consumer"

echo "== consumers in C and C++ through pkg-config (vontrel, vontrel++) =="
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" tests/consumer/consumer.c \
   $(pkg-config --cflags --libs vontrel) -Wl,-rpath,"$libdir"
"$work/consumer-pc"
# shellcheck disable=SC2046
c++ -Wall -Wextra -Werror -o "$work/consumer-pc-cpp" tests/consumer/consumer.cpp \
   $(pkg-config --cflags --libs vontrel++) -Wl,-rpath,"$libdir"
"$work/consumer-pc-cpp"

echo "== mains switch consumer through find_package(vontrel-mains) and pkg-config =="
objdump -p "$libdir/libvontrel-mains.so.0" | grep -q 'SONAME *libvontrel-mains\.so\.0$' \
  || fail "libvontrel-mains has no SONAME"
"$work/cmake-build/mains_consumer"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Werror -o "$work/mains-consumer-pc" tests/consumer/mains_consumer.cpp \
   $(pkg-config --cflags --libs vontrel-mains) -Wl,-rpath,"$libdir"
"$work/mains-consumer-pc"

echo "== Python package installed with pip, on the installed library =="
scripts/install-python.sh --quiet --target "$work/python" 2>&1 | grep -v "as the 'root' user" || true
[ -f "$work/python/vontrel/__init__.py" ] || fail "pip did not install the Python package"
(cd "$work" && env -u VONTREL_LIBRARY PYTHONPATH="$work/python" PYTHONDONTWRITEBYTECODE=1 \
   LD_LIBRARY_PATH="$libdir:$sim_dir" /usr/bin/python3 "$root/examples/set_and_status.py")

echo "== Python package in a plain virtual environment: pip install ./python, offline =="
/usr/bin/python3 -m venv "$work/venv"
PIP_DISABLE_PIP_VERSION_CHECK=1 "$work/venv/bin/pip" install --quiet ./python ||
  fail "pip install ./python failed in a virtual environment"
version=$("$work/venv/bin/python" -c 'import importlib.metadata as m; print(m.version("vontrel"))')
[ "$version" = "$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/vontrel/__init__.py)" ] ||
  fail "the virtual environment's package metadata says version '$version'"
(cd "$work" && env -u VONTREL_LIBRARY PYTHONDONTWRITEBYTECODE=1 LD_LIBRARY_PATH="$libdir:$sim_dir" \
   "$work/venv/bin/python" "$root/examples/set_and_status.py" >/dev/null) ||
  fail "the example failed in the virtual environment"

# They must have run on the installed library, not the build tree's.
for exe in "$work/cmake-build/consumer" "$work/cmake-build/consumer_cpp" "$work/consumer-pc" \
           "$work/consumer-pc-cpp"; do
  loads_installed "$exe" || fail "$exe does not load the installed library"
done
echo "consumer-check: passed ($root)"
