#!/usr/bin/env bash
# Checks the tree generator the benchmark depends on: the same seed gives the same tree, the
# counts and total come out as asked, and `change` alters exactly what it says without touching
# the pristine tree that its input shares files with (cp -al), which every incremental run
# assumes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/gen-tree-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
g++ -O2 -std=c++17 -Wall -Wextra -Werror -o "$tmp/gen_tree" "$here/gen_tree.cpp"
gen="$tmp/gen_tree"

failures=0
check() {  # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# Paths, types, sizes and contents of a tree (not times or inodes).
content() { (cd "$1" && find . -printf '%y %s %p\n' | LC_ALL=C sort && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r md5sum) | md5sum; }
files() { find "$1" -type f | wc -l; }
folders() { find "$1" -mindepth 1 -type d | wc -l; }
bytes() { find "$1" -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f\n", s}'; }

"$gen" make "$tmp/one" 2000 100 20000000 1000000 7 >/dev/null
"$gen" make "$tmp/two" 2000 100 20000000 1000000 7 >/dev/null
"$gen" make "$tmp/other" 2000 100 20000000 1000000 8 >/dev/null
check "the same seed gives the same tree" [ "$(content "$tmp/one")" = "$(content "$tmp/two")" ]
check "another seed gives another tree" [ "$(content "$tmp/one")" != "$(content "$tmp/other")" ]
check "2000 files" [ "$(files "$tmp/one")" -eq 2000 ]
check "100 folders" [ "$(folders "$tmp/one")" -eq 100 ]
total=$(bytes "$tmp/one")
check "about 20 MB in all (got $total)" [ "$(( total > 19600000 && total < 20400000 ))" -eq 1 ]
check "no file above the cap" [ -z "$(find "$tmp/one" -type f -size +1000000c)" ]
check "folders are nested" [ -n "$(find "$tmp/one" -mindepth 3 -type d | head -1)" ]

tab=$(printf '\t')
before=$(content "$tmp/one")
cp -al "$tmp/one" "$tmp/changed"
"$gen" change "$tmp/changed" 5 9 >/dev/null
check "change leaves the tree it shares files with alone" [ "$(content "$tmp/one")" = "$before" ]
(cd "$tmp/one" && find . -type f -printf '%p\t%s\n' | LC_ALL=C sort -t"$tab" -k1,1) >"$tmp/one.list"
(cd "$tmp/changed" && find . -type f -printf '%p\t%s\n' | LC_ALL=C sort -t"$tab" -k1,1) >"$tmp/changed.list"
removed=$(LC_ALL=C join -t"$tab" -v1 "$tmp/one.list" "$tmp/changed.list" | wc -l)
added=$(LC_ALL=C join -t"$tab" -v2 "$tmp/one.list" "$tmp/changed.list" | wc -l)
resized=$(LC_ALL=C join -t"$tab" "$tmp/one.list" "$tmp/changed.list" | awk -F"$tab" '$2 != $3' | wc -l)
check "5% removed (got $removed)" [ "$removed" -eq 100 ]
check "5% added (got $added)" [ "$added" -eq 100 ]
check "5% resized (got $resized)" [ "$resized" -eq 100 ]
check "no temporary file left" [ -z "$(find "$tmp/changed" -name '*.gen-tmp')" ]

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
