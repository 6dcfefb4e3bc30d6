#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets everything up and runs a short session with the vontrel tool against
# the simulated bench (two units, serial numbers 4660 and 12345, and the
# mains switch that powers them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

build_dir=${BUILD_DIR:-build}
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
