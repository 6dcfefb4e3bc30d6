#!/usr/bin/env bash
# Sets everything up and runs the main job against the simulated bench.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
echo
echo "== units on the simulated bench =="
build/examples/open_units
