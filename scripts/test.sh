#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing (scripts/setup.sh), builds and runs every test:
#   1. gcc (the packages' compiler), plain build in build/: the whole suite
#      (ctest: the library, the tool, the simulator, the serial library,
#      Python, and the front ends once, as their clients drive them), the
#      library's instructions per call against their budgets (callgrind),
#      the library's ABI against its baseline (in ctest), the API reference
#      (the doc target),
#      the wire and reliability suites under valgrind, the installed tree
#      as a consumer sees it
#   2. clang with AddressSanitizer + UndefinedBehaviorSanitizer in
#      build-asan: the suite but the front ends' client suites; the
#      threaded tests under ThreadSanitizer (scripts/sanitize.sh)
#   3. as root (CI): the Debian packages built without their tests, checked
#      with lintian, installed, used and purged (scripts/deb-test.sh), and,
#      when mmdebstrap is there, each package alone in a clean Debian root
#   4. each fuzz target for FUZZ_SECONDS (default 10) from its seed corpus
# Every stage runs; the script says how long each took and exits non-zero
# when one failed. During development: `ctest --test-dir build -L fast`.
set -uo pipefail
cd "$(dirname "$0")/.."
export JOBS=${JOBS:-2}
start=$SECONDS
echo "== test command: load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
summary=()
failed=()

# stage NAME COMMAND...: runs a stage, times it (the time it took, and the
# processor time it used, which a busy machine does not inflate) and keeps
# its verdict.
timing=$(mktemp)
trap 'rm -f "$timing"' EXIT
stage() {
  local name=$1 begin=$SECONDS rc=0 cpu
  shift
  echo "== $name (at $((SECONDS - start)) s)"
  TIMEFORMAT='%U %S'
  { time "$@" 2>&3 || rc=$?; } 3>&2 2>"$timing"
  cpu=$(awk '{ printf "%d", $1 + $2 }' "$timing")
  local took=$((SECONDS - begin))
  if [ "$rc" -eq 0 ]; then
    summary+=("$(printf '%5d s  (cpu %5d s)  %s' "$took" "$cpu" "$name")")
  else
    summary+=("$(printf '%5d s  (cpu %5d s)  %s: FAILED (%d)' "$took" "$cpu" "$name" "$rc")")
    failed+=("$name")
  fi
  return 0
}

stage "setup: missing packages" scripts/setup.sh all || exit 1
[ ${#failed[@]} -eq 0 ] || { echo "setup failed"; exit 1; }
stage "licence lines" scripts/check-licence.sh

gcc_build() { BUILD_DIR=build scripts/build.sh -DVONTREL_BUILD_TESTS=ON >/dev/null; }
stage "gcc: build" gcc_build
if [[ " ${failed[*]} " != *" gcc: build "* ]]; then
  stage "gcc: every test" ctest --test-dir build --output-on-failure -j"$JOBS"
  stage "gcc: instructions per call (callgrind)" scripts/callgrind.sh build
  stage "gcc: the API reference (doc)" cmake --build build --target doc
  stage "gcc: valgrind memcheck" scripts/sanitize.sh valgrind
  stage "gcc: the installed tree as a consumer sees it" scripts/consumer-check.sh build
fi
stage "clang: AddressSanitizer + UndefinedBehaviorSanitizer" scripts/sanitize.sh asan
stage "ThreadSanitizer: the threaded tests" scripts/sanitize.sh tsan

# The Debian packages install into the machine itself, so only as root: CI
# runs on a machine of its own; elsewhere run `sudo scripts/deb-test.sh`.
# The clean-root check of every package (mmdebstrap) runs when the whole
# command still ends within its 15 minutes, by the times these stages take
# on two cores (VONTREL_CLEAN_ROOT=always or never decides otherwise).
budget=900 deb_estimate=240 clean_root_estimate=150 fuzz_estimate=90
if [ "$(id -u)" -eq 0 ]; then
  elapsed=$((SECONDS - start))
  case "${VONTREL_CLEAN_ROOT:-auto}" in
    always) clean_root=1 ;;
    never) clean_root=0 ;;
    *) clean_root=$((elapsed + deb_estimate + clean_root_estimate + fuzz_estimate <= budget)) ;;
  esac
  if [ "$clean_root" -eq 1 ]; then
    stage "Debian packages, and each alone in a clean root" scripts/deb-test.sh --clean-root
  else
    stage "Debian packages" scripts/deb-test.sh
    echo "clean-root check skipped: after ${elapsed} s, it (about ${clean_root_estimate} s) would" \
      "take the test command past ${budget} s; run sudo scripts/deb-test.sh --clean-root"
    summary+=("    -    clean root: skipped, it would not end within ${budget} s")
  fi
else
  echo "Debian packages not checked: scripts/deb-test.sh needs root"
  summary+=("    -    Debian packages: skipped, scripts/deb-test.sh needs root")
fi
stage "fuzzing" scripts/fuzz.sh "${FUZZ_SECONDS:-10}"

echo
echo "== test command: $((SECONDS - start)) s in all; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all stages passed"
