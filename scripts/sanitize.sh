#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the test suite under the sanitizers and valgrind:
#   asan      build-asan, clang with AddressSanitizer + UndefinedBehaviorSanitizer
#             (float-cast-overflow included, no recovery): every test but the
#             front ends' client suites (ctest label "frontend", which the
#             plain build runs) and the Tango server (not built here)
#   tsan      build-tsan, clang with ThreadSanitizer: the threaded tests
#             (ctest label "threads")
#   valgrind  the plain build (scripts/build.sh's; configured here when
#             absent): valgrind memcheck over the wire and reliability suites
#   scripts/sanitize.sh [asan|tsan|valgrind ...]   (default: all three)
# Every stage asked for runs; the script exits non-zero if any of them found
# something. JOBS (default 2) sets the build parallelism; BUILD_NICE=N runs
# the builds (not the tests) at that niceness.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
start=$SECONDS
failed=()
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(asan tsan valgrind)

step() {
    echo "== $* (at $((SECONDS - start)) s)"
}

# build DIR TARGETS... -- CMAKE-ARGS...
build() {
    local dir=$1
    shift
    local targets=()
    while [ "$1" != "--" ]; do
        targets+=(--target "$1")
        shift
    done
    shift
    local args=()
    if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
        args+=(-G Ninja)
    fi
    if command -v ccache >/dev/null; then
        args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$dir" "${args[@]}" "$@" >/dev/null &&
        ${BUILD_NICE:+nice -n "$BUILD_NICE"} cmake --build "$dir" -j"$jobs" "${targets[@]}" >/dev/null
}

# The sanitizer builds: clang, with assertions, optimised a little (the
# library and the programs under test run faster instrumented) with line tables
# for the reports, each target's files compiled as one (unity build, as
# scripts/build.sh; the fuzzing build compiles each file on its own). The
# test programs themselves are not optimised: instrumented, they compile in
# a third of the time, and they need no speed.
sanitizer_build=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
    "-DCMAKE_C_FLAGS_DEBUG=-O1 -gline-tables-only" "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only"
    -DVONTREL_BUILD_TESTS=ON -DVONTREL_TEST_COMPILE_OPTIONS=-O0 -DCMAKE_UNITY_BUILD="${UNITY:-ON}")

# The AddressSanitizer build has the fuzz targets too (scripts/fuzz.sh runs
# them from here when FUZZ_BUILD=build-asan): the library and the simulator
# carry the fuzzers' coverage counters, which the sanitizers' runtime takes
# when no fuzzer is linked. Its tests, which mostly wait, run one more at a
# time than there are jobs.
asan() {
    step "AddressSanitizer + UndefinedBehaviorSanitizer: build (clang)"
    if build build-asan all -- "${sanitizer_build[@]}" -DVONTREL_SANITIZE=address \
        -DVONTREL_TANGO=off -DVONTREL_FUZZ=ON; then
        step "AddressSanitizer + UndefinedBehaviorSanitizer: every test but the front ends' clients"
        ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            ctest --test-dir build-asan --output-on-failure -j$((jobs + 1)) -LE frontend ||
            failed+=(asan)
    else
        failed+=(asan-build)
    fi
}

tsan() {
    step "ThreadSanitizer: build (clang)"
    if build build-tsan thread_tests close_race_tests serve_tests -- "${sanitizer_build[@]}" \
        -DVONTREL_SANITIZE=thread -DVONTREL_TANGO=off; then
        step "ThreadSanitizer: threaded tests"
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
            ctest --test-dir build-tsan -L threads --output-on-failure -j"$jobs" || failed+=(tsan)
    else
        failed+=(tsan-build)
    fi
}

valgrind_memcheck() {
    step "valgrind memcheck: build"
    if build build wire_tests reliability_tests -- -DVONTREL_BUILD_TESTS=ON; then
        for suite in tests/wire_tests tests/reliability/reliability_tests; do
            step "valgrind memcheck: $suite"
            valgrind --quiet --error-exitcode=1 --leak-check=full \
                --errors-for-leak-kinds=definite,indirect "build/$suite" --gtest_brief=1 ||
                failed+=("valgrind $suite")
        done
    else
        failed+=(valgrind-build)
    fi
}

for s in "${stages[@]}"; do
    case "$s" in
        asan) asan ;;
        tsan) tsan ;;
        valgrind) valgrind_memcheck ;;
        *) echo "usage: scripts/sanitize.sh [asan|tsan|valgrind ...]" >&2; exit 2 ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    step "FAILED: ${failed[*]}"
    exit 1
fi
step "${stages[*]}: all clean"
