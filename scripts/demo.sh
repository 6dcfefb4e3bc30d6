#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building the library, the tool and the simulator needs,
# builds only those, and runs a short session with the vontrel tool against
# the simulated bench (two units, serial numbers 4660 and 12345, and the
# mains switch that powers them). The test command (scripts/test.sh)
# installs and builds the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build

build_dir=${BUILD_DIR:-build}
configure=()
if [ -f "$build_dir/CMakeCache.txt" ]; then
  # A build folder made before (the test command's, with its tests) is
  # used as it is.
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
else
  # A new one has no tests (their packages are not installed yet) and is
  # not optimised: it compiles in two thirds of the time, and a session
  # with the simulator needs no speed.
  build_type=Debug
  configure+=(-DVONTREL_BUILD_TESTS=OFF -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0)
fi
BUILD_DIR=$build_dir BUILD_TYPE=$build_type TARGETS="vontrel_tool vontrel_sim" \
  scripts/build.sh "${configure[@]}" >/dev/null

vontrel=$build_dir/tools/vontrel
# The simulated units keep their state in this file between commands; the
# session starts from power-up.
export VONTREL_SIM_STATE=$PWD/$build_dir/demo-sim-state.json
"$build_dir/d2xx/sim/vontrel-sim" reset >/dev/null
# Each exchange takes as long as on the real link (about 16 ms).
export VONTREL_SIM_TIMING=1

run() {
  echo
  echo "\$ vontrel $*"
  "$vontrel" "$@"
}
run list
run --unit serial:4660 info
run --unit serial:4660 set --freq 2455 --atten 10 --wait-lock
run --unit serial:4660 status
run --unit serial:4660 sweep --start 2400 --stop 2500 --step 25 --dwell-ms 20
run mains status
