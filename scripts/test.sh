#!/usr/bin/env bash
# Sets everything up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j2
# The installed tree, as a consumer program sees it (CMake package and pkg-config).
scripts/consumer-check.sh build
