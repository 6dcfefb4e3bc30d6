#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets everything up, builds and runs every test:
#   0. every file's SPDX line and the licence (check-licence.sh), the
#      library's ABI against its baseline (abi-check.sh) and the API
#      reference (the doc target)
#   1. the whole suite on a plain build (ctest), the instruction budgets
#      under callgrind, and the suite again built with clang
#   2. the installed tree as a consumer sees it (CMake package, pkg-config,
#      the tool, the Python package); as root (CI), the Debian packages
#      built, checked with lintian, installed, used and purged
#   3. the suite again under ASan+UBSan, the threaded tests under TSan, and
#      valgrind over a representative subset
#   4. each fuzz target for a short fixed time (FUZZ_SECONDS, default 20)
# For a quick check during development, `ctest --test-dir build` runs step 1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check-licence.sh
scripts/setup.sh
scripts/build.sh
scripts/abi-check.sh build
cmake --build build --target doc
ctest --test-dir build --output-on-failure -j2
# The library's instructions per call against its budgets (benchmarks/budgets.txt).
scripts/callgrind.sh build
CC=clang CXX=clang++ BUILD_DIR=build-clang scripts/build.sh
ctest --test-dir build-clang --output-on-failure -j2
# The installed tree, as a consumer program sees it (CMake package and pkg-config).
scripts/consumer-check.sh build
# The Debian packages install into the machine itself, so only as root: CI
# runs on a machine of its own; elsewhere run `sudo scripts/deb-test.sh`.
if [ "$(id -u)" -eq 0 ]; then
  scripts/deb-test.sh
else
  echo "Debian packages not checked: scripts/deb-test.sh needs root"
fi
scripts/sanitize.sh
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
