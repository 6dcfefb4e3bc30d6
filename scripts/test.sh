#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing (scripts/setup.sh), builds and runs every test:
#   1. gcc (the packages' compiler, with their flags), plain build in build/
# then two lanes at once, each stage after the one before it in its lane:
#   checks  (mostly waiting: clients, time-outs, valgrind) on the gcc build:
#           the whole suite (ctest: the library, the tool, the simulator,
#           the serial library, Python, and the front ends once, as their
#           clients drive them), the library's instructions per call against
#           their budgets (callgrind), the library's ABI against its baseline
#           (in ctest), the API reference (the doc target), the wire and
#           reliability suites under valgrind, the installed tree as a
#           consumer sees it, and as root (CI) the Debian packages built
#           without their tests, checked with lintian, installed, used and
#           purged (scripts/deb-test.sh); last the threaded tests under
#           ThreadSanitizer (scripts/sanitize.sh; its build at a lower
#           priority), beside the other lane's suites
#   clang   (mostly computing; its builds at a lower priority, so that the
#           checks' time-outs keep their meaning): AddressSanitizer +
#           UndefinedBehaviorSanitizer in build-asan, the suite but the front
#           ends' client suites (scripts/sanitize.sh); each fuzz target,
#           built in build-asan, for FUZZ_SECONDS (default 10) from its seed
#           corpus
# and last, as root and when mmdebstrap is there and the command still ends
# within its 15 minutes, each package alone in a clean Debian root.
# Every stage runs; the script says how long each took and exits non-zero
# when one failed. The lanes' output is in build/test-logs/ and is shown
# when they end. During development: `ctest --test-dir build -L fast`.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
export JOBS=${JOBS:-2}
case "${VONTREL_CLEAN_ROOT:-auto}" in
  auto | always | never) ;;
  *) echo "scripts/test.sh: VONTREL_CLEAN_ROOT is auto, always or never, not '$VONTREL_CLEAN_ROOT'" >&2
     exit 2 ;;
esac
start=$SECONDS
echo "== test command: load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
logs=build/test-logs
results=$(mktemp)
trap 'rm -f "$results"' EXIT
exec 4>&1  # the terminal, for the stages' headers from inside a lane

# stage NAME COMMAND...: runs a stage, times it (the time it took, and the
# processor time it used, which a busy machine does not inflate) and keeps
# its verdict in $results.
stage() {
  local name=$1 begin=$SECONDS rc=0 cpu took line
  shift
  echo "== $name (at $((SECONDS - start)) s)"
  # A lane's output goes to its log; its stages are named as they start.
  [ -z "${lane:-}" ] || echo "== $lane: $name (at $((SECONDS - start)) s)" >&4
  TIMEFORMAT='%U %S'
  local t
  t=$(mktemp)
  { time "$@" 2>&3 || rc=$?; } 3>&2 2>"$t"
  cpu=$(awk '{ printf "%d", $1 + $2 }' "$t")
  rm -f "$t"
  took=$((SECONDS - begin))
  if [ "$rc" -eq 0 ]; then
    line=$(printf '%5d s  (cpu %5d s)  %s' "$took" "$cpu" "$name")
  else
    line=$(printf '%5d s  (cpu %5d s)  %s: FAILED (%d)' "$took" "$cpu" "$name" "$rc")
  fi
  echo "$line" >>"$results"
  return "$rc"
}
failed() { grep -c ': FAILED (' "$results"; }

stage "setup: missing packages" scripts/setup.sh all || { echo "setup failed"; exit 1; }
stage "licence lines"  scripts/check-licence.sh

# The suite runs on the packages' own flags (scripts/package-flags.sh: -O2,
# _FORTIFY_SOURCE and the hardening, with the warnings they bring), and the
# packages' build later finds its objects in the compiler cache.
gcc_build() (
  local flags=()
  if command -v dpkg-buildflags >/dev/null; then
    root=$(pwd)
    . scripts/package-flags.sh
    mapfile -t flags < <(package_cmake_flags)
  fi
  # The test programs themselves are compiled lightly optimised: half the
  # time for them, and the library and programs they test are as shipped.
  BUILD_DIR=build scripts/build.sh -DVONTREL_BUILD_TESTS=ON -DVONTREL_TEST_COMPILE_OPTIONS=-Og \
    "${flags[@]}" >/dev/null
)
gcc_built=0
stage "gcc: build" gcc_build && gcc_built=1
rm -rf "$logs" build/debs
mkdir -p "$logs"

# The budgets of instructions per call are counts of g++ -O2 without the
# packages' hardening (benchmarks/budgets.txt): counted in a build of the
# counting program alone, with scripts/build.sh's flags.
callgrind_budgets() {
  BUILD_DIR=build-callgrind TARGETS=count_instructions scripts/build.sh \
    -DVONTREL_BUILD_TESTS=ON >/dev/null && scripts/callgrind.sh build-callgrind
}

# The lane that mostly waits. Its suites' clients and time-outs run beside
# the other lane's compilers: a loaded machine, as they must stand.
checks_lane() {
  if [ "$gcc_built" -eq 1 ]; then
    stage "gcc: every test" ctest --test-dir build --output-on-failure -j$((JOBS + 1))
    stage "gcc: instructions per call (callgrind)" callgrind_budgets
    stage "gcc: the API reference (doc)" cmake --build build --target doc
    stage "gcc: valgrind memcheck" scripts/sanitize.sh valgrind
    stage "gcc: the installed tree as a consumer sees it" scripts/consumer-check.sh build
  fi
  # The Debian packages install into the machine itself, so only as root: CI
  # runs on a machine of its own; elsewhere run `sudo scripts/deb-test.sh`.
  if [ "$(id -u)" -eq 0 ]; then
    stage "Debian packages" env VONTREL_DEBS=build/debs scripts/deb-test.sh
  else
    echo "Debian packages not checked: scripts/deb-test.sh needs root"
    echo "    -    Debian packages: skipped, scripts/deb-test.sh needs root" >>"$results"
  fi
  # Built while the other lane's suites wait on their units and clients.
  stage "ThreadSanitizer: the threaded tests" env BUILD_NICE=10 scripts/sanitize.sh tsan
}
# The lane that mostly computes.
clang_lane() {
  stage "clang: AddressSanitizer + UndefinedBehaviorSanitizer" scripts/sanitize.sh asan
  stage "fuzzing" env FUZZ_BUILD=build-asan scripts/fuzz.sh "${FUZZ_SECONDS:-10}"
}
(lane=checks && checks_lane) >"$logs/checks.log" 2>&1 &
checks_pid=$!
(lane=clang && export BUILD_NICE=10 && clang_lane) >"$logs/clang.log" 2>&1 &
clang_pid=$!
wait "$checks_pid" "$clang_pid"
for name in checks clang; do
  echo
  echo "======== lane $name ($logs/$name.log)"
  cat "$logs/$name.log"
done

# Each package alone in a clean root (mmdebstrap), from the packages built
# above, when the whole command still ends within its 15 minutes by the time
# it takes on two cores (VONTREL_CLEAN_ROOT=always or never decides
# otherwise).
budget=900 clean_root_estimate=150
if [ "$(id -u)" -eq 0 ] && [ -d build/debs ]; then
  elapsed=$((SECONDS - start))
  skip=""  # why the check is skipped, if it is
  case "${VONTREL_CLEAN_ROOT:-auto}" in
    always) ;;
    never) skip="VONTREL_CLEAN_ROOT=never" ;;
    *) [ $((elapsed + clean_root_estimate)) -le "$budget" ] ||
         skip="it would not end within ${budget} s (after ${elapsed} s, about ${clean_root_estimate} s more)" ;;
  esac
  if [ -z "$skip" ]; then
    stage "each package alone in a clean root" \
      env VONTREL_DEBS=build/debs scripts/deb-test.sh --clean-root-only
  else
    echo "clean-root check skipped: $skip; run sudo scripts/deb-test.sh --clean-root"
    echo "    -    clean root: skipped, $skip" >>"$results"
  fi
fi

echo
echo "== test command: $((SECONDS - start)) s in all; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$results"
if [ "$(failed)" -gt 0 ]; then
  echo "FAILED: $(grep ': FAILED (' "$results" | sed 's/.*)  //; s/: FAILED.*//' | paste -sd, -)"
  exit 1
fi
echo "all stages passed"
