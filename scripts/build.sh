#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or $BUILD_DIR) with the simulator as
# the D2XX library. Extra arguments go to CMake's configure step.
#   BUILD_TYPE   CMake build type (default RelWithDebInfo: -O2 with the debug
#                information backtraces, valgrind and callgrind use, line
#                tables and function names; a third less to compile than -g)
#   TARGETS      the targets to build, separated by spaces (default: all)
#   JOBS         build parallelism (default 2)
#   UNITY        ON (default): each target's files compiled as one (CMake's
#                unity build), which parses the heavy headers (JSON, CLI11,
#                GoogleTest, Tango) once a target instead of once a file:
#                half the time from nothing. OFF compiles each file on its
#                own (what a plain `cmake -B build` does).
# A new build folder uses Ninja when it is installed; ccache, when it is
# installed, makes rebuilds of unchanged files nearly free.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
args=(-DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
  -DCMAKE_UNITY_BUILD="${UNITY:-ON}")
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
