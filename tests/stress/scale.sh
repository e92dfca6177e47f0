#!/usr/bin/env bash
# Mirrors a generated tree of ENTRIES entries (small files, 100 to a folder, folders nested two deep)
# into an empty destination, checks the result with diff -r, then runs the same job again with
# nothing to do. Prints the time and peak memory of both runs, and the peak memory per entry.
# Not part of CI: the default million entries take a few minutes and about 10 GB of disk.
#
#   scale.sh path/to/twinfold [ENTRIES]      default: 1000000
set -u
bin=${1:?usage: scale.sh path/to/twinfold [ENTRIES]}
entries=${2:-1000000}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-scale.XXXXXX")
trap 'echo "removing $work ..."; rm -rf "$work"' EXIT
src=$work/src dst=$work/dst

if [ ! -x /usr/bin/time ]; then
    echo "installing GNU time (for the peak memory) ..."
    sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get install -y time > /dev/null || { echo "cannot install the package time" >&2; exit 1; }
fi

# Every 101st entry is a folder t<a>/s<b> (100 of them under each t<a>), the other 100 are its files,
# 0 to 190 bytes each.
echo "generating $entries entries in $src ..."
start=$(date +%s)
mkdir -p "$src"
awk -v n="$entries" 'BEGIN {
    for (i = 0; i * 101 < n; i++) print "t" int(i / 100) "/s" (i % 100)
}' | (cd "$src" && xargs mkdir -p)
(cd "$src" && awk -v n="$entries" 'BEGIN {
    line = "twinfold scale test line\n"
    made = int((n + 100) / 101)  # folders, as above
    for (i = 0; made < n; i++) {
        dir = "t" int(int(i / 100) / 100) "/s" (int(i / 100) % 100)
        path = dir "/f" (i % 100)
        text = ""
        for (k = 0; k < i % 8; k++) text = text line
        printf "%s", text > path
        close(path)
        made++
    }
}')
# Folders t<a> add a few entries beyond the requested count; report what is there.
count=$(find "$src" -mindepth 1 | wc -l)
echo "generated $count entries in $(($(date +%s) - start)) s"

measure() {  # measure LABEL: runs the job under /usr/bin/time and prints its figures
    /usr/bin/time -v -o "$work/time.$1" "$bin" unattended "SrcDir=$src" "DstDir=$dst"
    local code=$?
    local wall rss
    wall=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time.$1")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.$1")
    echo "$1: exit code $code, wall time $wall, peak RSS $((rss / 1024)) MiB," \
         "$((rss * 1024 / count)) bytes per entry"
    [ "$code" -eq 0 ]
}

ok=1
measure "first mirror (empty destination)" || ok=0
start=$(date +%s)
if diff -r --no-dereference "$src" "$dst" > "$work/diff" 2>&1; then
    echo "diff -r: identical ($(($(date +%s) - start)) s)"
else
    echo "diff -r: DIFFERENT: $(head -c 500 "$work/diff")"; ok=0
fi
measure "second run (nothing to do)" || ok=0
[ "$ok" -eq 1 ] && echo "scale: passed" || echo "scale: FAILED"
[ "$ok" -eq 1 ]
