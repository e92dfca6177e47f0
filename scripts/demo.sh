#!/usr/bin/env bash
# Builds twinfold and mirrors the demo tree that ships with it into a fresh folder, unattended.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -DTWINFOLD_BUILD_TESTS=OFF >/dev/null
cmake --build "$top/build" -j "$(nproc)" >/dev/null

dst=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-demo.XXXXXX")/mirror
echo "\$ twinfold unattended SrcDir=demo/source DstDir=$dst"
set +e
"$top/build/twinfold" unattended "SrcDir=$top/demo/source" "DstDir=$dst"
code=$?
set -e
echo "exit code: $code"
echo "the destination now holds:"
(cd "$dst" && find . -mindepth 1 | sort | sed 's|^\./|  |')
if diff -r "$top/demo/source" "$dst" >/dev/null; then echo "diff -r: the mirror is exact"; else echo "diff -r: differences found"; fi
exit "$code"
