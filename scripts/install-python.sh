#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Python package (python/) for Debian's /usr/bin/python3,
# offline, with the package's own build backend (nothing is fetched). It
# needs libvontrel.so installed where the loader finds it, or
# VONTREL_LIBRARY pointing at it.
#   usage: scripts/install-python.sh [extra pip arguments, e.g. --user or --target DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${VONTREL_PYTHON:-/usr/bin/python3}
args=(--no-build-isolation --no-index --no-deps)
# Debian marks its interpreter as externally managed; pip then refuses to
# install into it unless told that this is intended.
stdlib=$("$python" -c 'import sysconfig; print(sysconfig.get_path("stdlib"))')
if [ -e "$stdlib/EXTERNALLY-MANAGED" ] && [[ " $* " != *" --target "* ]] &&
   grep -q -- --break-system-packages <<<"$("$python" -m pip install --help)"; then
  args+=(--break-system-packages)
fi
"$python" -m pip install "${args[@]}" "$@" ./python
