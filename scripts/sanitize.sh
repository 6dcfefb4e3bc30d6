#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the test suite under the sanitizers and valgrind:
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer (float-cast-overflow
#               included, no recovery): the whole ctest suite
#   build-tsan  ThreadSanitizer: the threaded tests (ctest label "threads")
#   build       the plain build (scripts/build.sh's; configured here when absent):
#               valgrind memcheck over the wire and reliability suites
# Every stage runs; the script exits non-zero if any of them found something.
# JOBS (default 2) sets the build parallelism; BUILD_TYPE (default Debug) the
# sanitizer builds' type.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build_type=${BUILD_TYPE:-Debug}
start=$SECONDS
failed=()

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
    cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j"$jobs" "${targets[@]}" >/dev/null
}

step "AddressSanitizer + UndefinedBehaviorSanitizer: build"
if build build-asan all -- -DCMAKE_BUILD_TYPE="$build_type" -DVONTREL_SANITIZE=address; then
    step "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure -j"$jobs" || failed+=(asan)
else
    failed+=(asan-build)
fi

step "ThreadSanitizer: build"
if build build-tsan thread_tests close_race_tests serve_tests -- -DCMAKE_BUILD_TYPE="$build_type" -DVONTREL_SANITIZE=thread; then
    step "ThreadSanitizer: threaded tests"
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir build-tsan -L threads --output-on-failure || failed+=(tsan)
else
    failed+=(tsan-build)
fi

step "valgrind memcheck: build"
if build build wire_tests reliability_tests -- -DCMAKE_BUILD_TYPE="${PLAIN_BUILD_TYPE:-RelWithDebInfo}"; then
    for suite in tests/wire_tests tests/reliability/reliability_tests; do
        step "valgrind memcheck: $suite"
        valgrind --quiet --error-exitcode=1 --leak-check=full \
            --errors-for-leak-kinds=definite,indirect "build/$suite" --gtest_brief=1 ||
            failed+=("valgrind $suite")
    done
else
    failed+=(valgrind-build)
fi

if [ ${#failed[@]} -gt 0 ]; then
    step "FAILED: ${failed[*]}"
    exit 1
fi
step "sanitizers and valgrind: all clean"
