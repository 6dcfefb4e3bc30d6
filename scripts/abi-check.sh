#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the ABI of a built libvontrel.so with the baseline kept in
# abi/libvontrel.so.0.abi: the exported functions, their parameters and
# results, and every type they reach (abigail-tools' abidw and abidiff).
# Any difference fails: a change that is meant is made with --update, which
# writes the baseline anew, and follows docs/versioning.md (what it bumps,
# what NEWS.md says).
#   scripts/abi-check.sh [--update] [build-dir]   (default: $BUILD_DIR or build)
# The library must have debug information (the default RelWithDebInfo
# build, or Debug).
set -euo pipefail
cd "$(dirname "$0")/.."

update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
build_dir=${1:-${BUILD_DIR:-build}}
baseline=abi/libvontrel.so.0.abi
library=$build_dir/libvontrel.so.0

fail() {
  echo "abi-check: $*" >&2
  exit 1
}
for tool in abidw abidiff readelf; do
  command -v "$tool" >/dev/null || fail "$tool is missing (Debian: abigail-tools, binutils; scripts/setup.sh installs them)"
done
[ -e "$library" ] || fail "$library is not built"
readelf -S "$library" | grep -q '\.debug_info' ||
  fail "$library has no debug information: build it as RelWithDebInfo or Debug"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Only what the exports reach, without this machine's paths or line
# numbers, so that the baseline changes only when the ABI does.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --exported-interfaces-only \
  --drop-undefined-syms "$library" |
  sed -E "s#path='[^']*/([^/']*)'#path='\1'#" >"$work/current.abi"

if [ "$update" = 1 ]; then
  cp "$work/current.abi" "$baseline"
  echo "abi-check: $baseline written from $library"
  exit 0
fi
[ -e "$baseline" ] || fail "no baseline $baseline (scripts/abi-check.sh --update writes it)"
if ! abidiff --no-show-locs "$baseline" "$work/current.abi" >"$work/report" 2>&1; then
  cat "$work/report" >&2
  fail "the ABI of $library differs from $baseline. If the change is meant, follow
docs/versioning.md (bump the version as it says, note it in NEWS.md) and run
scripts/abi-check.sh --update"
fi
echo "abi-check: $library has the ABI of $baseline"
