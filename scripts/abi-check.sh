#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the ABI of each built library with its baseline in abi/
# (abi/<SONAME>.abi: libvontrel.so.0, libvontrel-mains.so.0): the exported
# functions, their parameters and results, and every type they reach
# (abigail-tools' abidw and abidiff). Any difference fails: a change that is
# meant is made with --update, which writes the baselines anew, and follows
# docs/versioning.md (what it bumps, what NEWS.md says).
#   scripts/abi-check.sh [--update] [build-dir]   (default: $BUILD_DIR or build)
# The libraries must have debug information (the default RelWithDebInfo
# build, or Debug).
set -euo pipefail
cd "$(dirname "$0")/.."

update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
build_dir=${1:-${BUILD_DIR:-build}}
sonames=(libvontrel.so.0 libvontrel-mains.so.0)

fail() {
  echo "abi-check: $*" >&2
  exit 1
}
for tool in abidw abidiff readelf; do
  command -v "$tool" >/dev/null || fail "$tool is missing (Debian: abigail-tools, binutils; scripts/setup.sh installs them)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for soname in "${sonames[@]}"; do
  baseline=abi/$soname.abi
  library=$build_dir/$soname
  [ -e "$library" ] || library=$(find "$build_dir" -maxdepth 2 -name "$soname" -print -quit)
  [ -n "$library" ] || fail "$soname is not built in $build_dir"
  # (Read whole first: grep -q leaving early would fail the pipe.)
  sections=$(readelf -S "$library")
  grep -q '\.debug_info' <<<"$sections" ||
    fail "$library has no debug information: build it as RelWithDebInfo or Debug"
  # Only what the exports reach, without this machine's paths or line
  # numbers, so that the baseline changes only when the ABI does.
  abidw --no-corpus-path --no-comp-dir-path --no-show-locs --exported-interfaces-only \
    --drop-undefined-syms "$library" |
    sed -E "s#path='[^']*/([^/']*)'#path='\1'#" >"$work/$soname.abi"
  if [ "$update" = 1 ]; then
    cp "$work/$soname.abi" "$baseline"
    echo "abi-check: $baseline written from $library"
    continue
  fi
  [ -e "$baseline" ] || fail "no baseline $baseline (scripts/abi-check.sh --update writes it)"
  if abidiff --no-show-locs "$baseline" "$work/$soname.abi" >"$work/report" 2>&1; then
    echo "abi-check: $library has the ABI of $baseline"
  else
    cat "$work/report" >&2
    echo "abi-check: the ABI of $library differs from $baseline" >&2
    status=1
  fi
done
if [ "$status" != 0 ]; then
  fail "if the change is meant, follow docs/versioning.md (bump the version as it
says, note it in NEWS.md) and run scripts/abi-check.sh --update"
fi
