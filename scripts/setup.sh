#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs with apt-get (through sudo when not root) the Debian packages
# that building and testing libvontrel needs. Packages already present are
# not fetched again.
#   scripts/setup.sh build   what building the library, the vontrel tool and
#                            the simulator needs (scripts/deps/build.txt)
#   scripts/setup.sh [all]   that and what the test command needs
#                            (scripts/deps/test.txt)
set -euo pipefail
cd "$(dirname "$0")/.."

# The build needs none of its packages' recommendations; the tests' clients
# (the browser, the daemons) come with theirs.
case "${1:-all}" in
  build) lists=(scripts/deps/build.txt) recommends=--no-install-recommends ;;
  all) lists=(scripts/deps/build.txt scripts/deps/test.txt) recommends=--install-recommends ;;
  *) echo "usage: scripts/setup.sh [build|all]" >&2; exit 2 ;;
esac

missing=()
while read -r p; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "${lists[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$recommends" \
    -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
fi
