#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or $BUILD_DIR) with the simulator as
# the D2XX library. Extra arguments go to CMake's configure step.
#   BUILD_TYPE   CMake build type (default RelWithDebInfo)
#   TARGETS      the targets to build, separated by spaces (default: all)
#   JOBS         build parallelism (default 2)
# A new build folder uses Ninja when it is installed; ccache, when it is
# installed, makes rebuilds of unchanged files nearly free.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
args=(-DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}")
if [ ! -f "$build_dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
  args+=(-G Ninja)
fi
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build_dir" "${args[@]}" "$@" >/dev/null
targets=()
for t in ${TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build_dir" -j"${JOBS:-2}" "${targets[@]}"
