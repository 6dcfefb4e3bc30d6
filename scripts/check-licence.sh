#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source file the project writes carries its licence as an SPDX line
# near its top, and LICENSE holds the licence's text. Data the code reads
# (JSON, CSV, fuzz inputs, the doctor's fake tree, pictures) carries none.
#   scripts/check-licence.sh          list what lacks the line; exit 1 if any
#   scripts/check-licence.sh --add    add the line where it lacks
set -euo pipefail
cd "$(dirname "$0")/.."
add=0
[ "${1:-}" = "--add" ] && add=1
id="SPDX-License-Identifier: MIT"

grep -q "^MIT License" LICENSE || { echo "LICENSE: not the MIT licence" >&2; exit 1; }

# comment_for FILE: how the file's language writes the line ('' = none).
comment_for() {
    case "$1" in
        *.c | *.cpp | *.h | *.hpp | *.js | *.h.in | *.hpp.in) echo "// $id" ;;
        *.css | *.map) echo "/* $id */" ;;
        *.html | *.svg) echo "<!-- $id -->" ;;
        *.py | *.sh | *.cmake | *CMakeLists.txt | *.cmake.in | *.pc.in | *.toml | \
            *.rules.in | *.service.in | *.sysusers.in | *.default | *.gitignore | *.clang-format | \
            debian/rules | *.install | *.manpages | *.lintian-overrides | .ci/*)
            echo "# $id" ;;
        *) echo "" ;;
    esac
}

missing=0
while IFS= read -r f; do
    case "$f" in
        tests/doctor/root/* | fuzz/corpus/* | *.json | *.csv | *.png | *.md | LICENSE | \
            debian/changelog | debian/control | debian/copyright | debian/source/* | \
            benchmarks/results/* ) continue ;;
    esac
    line=$(comment_for "$f")
    [ -n "$line" ] || continue
    head -n 5 "$f" | grep -q "$id" && continue
    if [ $add -eq 0 ]; then
        echo "no SPDX line: $f"
        missing=1
        continue
    fi
    first=$(head -n 1 "$f")
    case "$first" in
        '#!'* | '<!DOCTYPE'* | '<?xml'*)
            { echo "$first"; echo "$line"; tail -n +2 "$f"; } >"$f.spdx" ;;
        *) { echo "$line"; cat "$f"; } >"$f.spdx" ;;
    esac
    chmod --reference="$f" "$f.spdx"
    mv "$f.spdx" "$f"
done < <(git ls-files)
exit $missing
