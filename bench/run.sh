#!/usr/bin/env bash
# Measures twinfold against `rsync -a --delete` and `cp -a`, side by side, with hyperfine.
#
#   bench/run.sh            the full benchmark (about 15 minutes, 30 with the large tree): a tree of
#                           20,000 files in 1,000 folders (about 200 MB) mirrored on a tmpfs and on
#                           the work folder's file system, chains of 2,000 and 10,000 nested folders,
#                           and a tree of 1,000,000 small files
#   bench/run.sh --quick    the same steps on small trees with few runs (about a minute)
#   bench/run.sh --report   only writes the report again from the last run's raw output
#
# The tmpfs figures are the headline: there only the tools' own work is timed, while a disk's
# times drift with what the file system went through before (see the README).
# Writes bench/results/latest.md and latest.png (--quick: quick.md and quick.png) and prints the
# table. The trees are kept for the next run as long as their parameters and the generator stay
# the same. Environment:
#   BENCH_DIR    work folder on the file system to compare with (default /tmp/twinfold-bench)
#   BENCH_TMPFS  folder on a tmpfs (default /dev/shm/twinfold-bench; when that is not on a tmpfs,
#                one is mounted there, which needs root)
#   BENCH_LARGE  0 leaves out the tree of 1,000,000 small files (on the work folder)
#   TWINFOLD     a twinfold binary to measure instead of building this tree in Release
#   RUNS_FIRST   timed runs of each first mirror (default 5; --quick 2)
#   RUNS_FAST    timed runs of each nothing-to-do and incremental run (default 10; --quick 5)
#   BENCH_NOTE   a line put at the top of the report (for example, what else the machine was doing)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")

quick=0
report_only=0
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        --report) report_only=1 ;;
        -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench/run.sh: unknown argument: $arg" >&2; exit 2 ;;
    esac
done

if [ "$quick" -eq 1 ]; then
    # files folders total-bytes largest-file
    tree_a=(5000 250 52428800 2097152)
    tree_b=(20000 200 10240000 16384)
    runs_first=${RUNS_FIRST:-2}
    runs_fast=${RUNS_FAST:-5}
    report_name=quick
    prefix=quick-
else
    tree_a=(20000 1000 209715200 8388608)
    tree_b=(1000000 10000 512000000 16384)
    runs_first=${RUNS_FIRST:-5}
    runs_fast=${RUNS_FAST:-10}
    report_name=latest
    prefix=
fi
change_percent=1
deep_levels=(2000 10000)
[ "$quick" -eq 0 ] || deep_levels=(200 2000)
work=${BENCH_DIR:-/tmp/twinfold-bench}
tmpfs_work=${BENCH_TMPFS:-/dev/shm/twinfold-bench}
large=${BENCH_LARGE:-1}
results="$here/results"
started=$(date +%s)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

say() { printf '\n== %s\n' "$*"; }
fail() { echo "bench/run.sh: $*" >&2; exit 1; }

# ---------------------------------------------------------------------------------------------
say "tools"
need=()
for pair in hyperfine:hyperfine rsync:rsync gnuplot:gnuplot-nox strace:strace g++:g++ cmake:cmake ninja:ninja-build \
            diff:diffutils; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${need[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
fi

mkdir -p "$work"
work=$(cd "$work" && pwd)
raw="$work/raw-$report_name"

if [ "$report_only" -eq 0 ]; then
build="$here/build"
if [ -n "${TWINFOLD:-}" ]; then
    twinfold=$(readlink -f "$TWINFOLD")
    [ -x "$twinfold" ] || fail "TWINFOLD is not an executable: $TWINFOLD"
    revision="given binary $twinfold"
else
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTWINFOLD_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" --target twinfold >/dev/null
    twinfold="$build/twinfold"
    revision=$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)
    if [ -n "$(git -C "$top" status --porcelain -- . ':!bench' 2>/dev/null)" ]; then
        revision="$revision with uncommitted changes"
    fi
fi
mkdir -p "$build"
g++ -O2 -std=c++17 -Wall -Wextra -Werror -o "$build/gen_tree" "$here/gen_tree.cpp"
gen="$build/gen_tree"
echo "twinfold: $twinfold ($revision)"

# The tmpfs: /dev/shm where it is one, else a tmpfs mounted for this run.
mkdir -p "$tmpfs_work"
tmpfs_work=$(cd "$tmpfs_work" && pwd)
if [ "$(df -PT "$tmpfs_work" | awk 'NR==2 {print $2}')" != tmpfs ]; then
    [ "$(id -u)" -eq 0 ] || fail "$tmpfs_work is not on a tmpfs, and mounting one needs root (set BENCH_TMPFS)"
    mount -t tmpfs -o size=4g twinfold-bench "$tmpfs_work" || fail "cannot mount a tmpfs on $tmpfs_work"
    trap 'umount "$tmpfs_work"' EXIT
fi
fs_disk=$(df -PT "$work" | awk 'NR==2 {print $2}')
[ "$fs_disk" != tmpfs ] || fail "$work is on a tmpfs too: set BENCH_DIR to a folder on a disk"

free_kb=$(df -Pk "$work" | awk 'NR==2 {print $4}')
want_kb=$([ "$quick" -eq 1 ] && echo 1000000 || { [ "$large" -eq 1 ] && echo 10000000 || echo 2000000; })
[ "$free_kb" -ge "$want_kb" ] || fail "$work has $((free_kb / 1024)) MiB free; the run needs about $((want_kb / 1024)) MiB"
free_kb=$(df -Pk "$tmpfs_work" | awk 'NR==2 {print $4}')
want_kb=$([ "$quick" -eq 1 ] && echo 500000 || echo 1500000)
[ "$free_kb" -ge "$want_kb" ] || fail "$tmpfs_work has $((free_kb / 1024)) MiB free; the run needs about $((want_kb / 1024)) MiB"
rm -rf "$raw"
mkdir -p "$raw"

# ---------------------------------------------------------------------------------------------
# Trees. A tree is kept between runs when the stamp beside it matches its parameters and the
# generator; the stamp is written only once the tree is complete.
make_tree() {  # dir seed files folders bytes largest [changed]
    local dir=$1 seed=$2 stamp
    shift 2
    stamp="$1 $2 $3 $4 seed=$seed $(md5sum "$here/gen_tree.cpp" | cut -c1-12)"
    if [ -f "$dir.stamp" ] && [ "$(cat "$dir.stamp")" = "$stamp" ] && [ -d "$dir/src" ]; then
        echo "$dir: kept from an earlier run ($stamp)"
        return 0
    fi
    rm -rf "$dir" "$dir.stamp"
    mkdir -p "$dir"
    local t0=$SECONDS
    "$gen" make "$dir/src" "$1" "$2" "$3" "$4" "$seed"
    if [ "${5:-}" = changed ]; then
        # The changed source for the incremental run shares the untouched files with src.
        cp -al "$dir/src" "$dir/src-changed"
        "$gen" change "$dir/src-changed" "$change_percent" $((seed + 1))
    fi
    echo "$stamp" >"$dir.stamp"
    echo "$dir: generated in $((SECONDS - t0)) s"
}

count_entries() { find "$1" -mindepth 1 | wc -l; }
count_files() { find "$1" -type f | wc -l; }
count_bytes() { find "$1" -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f\n", s}'; }
largest() { find "$1" -type f -printf '%s\n' | sort -n | tail -1; }
# Everything the tools are meant to reproduce or leave alone, as one checksum: paths, types, sizes,
# modification times, inode numbers.
fingerprint() { (cd "$1" && find . -printf '%y %s %T@ %i %p\n' | LC_ALL=C sort | md5sum | cut -c1-32); }
same_tree() {  # expected actual what
    if ! diff -r --no-dereference "$1" "$2" >"$raw/diff.txt" 2>&1; then
        head -20 "$raw/diff.txt" >&2
        fail "$3: $2 differs from $1"
    fi
    echo "checked: $3 gives a tree equal to its source"
}
warm() { find "$1" -type f -print0 | xargs -0 -r cat >/dev/null; }

# One run under /usr/bin/time -v, which records its peak memory and wall time in $raw/KEY.time.
timed() {  # key command...
    local key=$1
    shift
    /usr/bin/time -v -o "$raw/$key.time" "$@" || fail "$key: $* failed (exit $?)"
}
fresh() { rm -rf "$1" && mkdir "$1" && sync; }

tf_cmd() { echo "'$twinfold' unattended 'SrcDir=$1' 'DstDir=$2'"; }
rs_cmd() { echo "rsync -a --delete '$1/' '$2/'"; }
cp_cmd() { echo "cp -a '$1/.' '$2/'"; }

# The three comparisons on the tree in $1; raw output under the name $2 (tmpfs or disk).
compare() {  # dir location
    local A=$1 loc=$2 round i tool args before reset
    say "$loc: first mirror, checked once for each tool"
    rm -rf "$A/dst-pristine" "$A/dst" "$A/dst-changed"
    fresh "$A/dst"; timed "$loc-tf_first" "$twinfold" unattended "SrcDir=$A/src" "DstDir=$A/dst"; same_tree "$A/src" "$A/dst" twinfold
    fresh "$A/dst"; timed "$loc-rs_first" rsync -a --delete "$A/src/" "$A/dst/"; same_tree "$A/src" "$A/dst" "rsync -a --delete"
    fresh "$A/dst"; timed "$loc-cp_first" cp -a "$A/src/." "$A/dst/"; same_tree "$A/src" "$A/dst" "cp -a"
    # The pristine destination: what a mirror of src looks like (cp -a keeps the times, so rsync
    # finds nothing to do either). The nothing-to-do runs mirror onto it, and every incremental run
    # starts from a copy of it.
    cp -a "$A/src" "$A/dst-pristine"
    warm "$A/src"
    warm "$A/src-changed"
    sync

    say "$loc: first mirror into an empty destination: $runs_first rounds of one run each"
    # A first mirror takes long enough for the machine to drift (on a disk, the file system's inode
    # allocator slows down after many deletions), so the tools take turns, one run each per round,
    # each round starting with another tool; the rounds are then summed up the way hyperfine does.
    local tools=(twinfold rsync cp)
    for round in $(seq 1 "$runs_first"); do
        args=()
        for i in 0 1 2; do
            tool=${tools[$(((round + i) % 3))]}
            case $tool in
                twinfold) args+=(-n twinfold "$(tf_cmd "$A/src" "$A/dst")") ;;
                rsync) args+=(-n rsync "$(rs_cmd "$A/src" "$A/dst")") ;;
                cp) args+=(-n cp "$(cp_cmd "$A/src" "$A/dst")") ;;
            esac
        done
        hyperfine --runs 1 --export-csv "$raw/$loc-first-$round.csv" \
            --prepare "rm -rf '$A/dst' && mkdir '$A/dst' && sync" "${args[@]}"
    done
    # hyperfine's columns: command,mean,stddev,median,user,system,min,max.
    awk -F, 'FNR == 1 { next }
        { n[$1]++; t[$1, n[$1]] = $2; s[$1] += $2; u[$1] += $5; y[$1] += $6
          if (!($1 in lo) || $2 < lo[$1]) lo[$1] = $2
          if (!($1 in hi) || $2 > hi[$1]) hi[$1] = $2 }
        END {
            print "command,mean,stddev,median,user,system,min,max"
            split("twinfold rsync cp", order, " ")
            for (k = 1; k <= 3; k++) {
                c = order[k]; m = s[c] / n[c]; v = 0
                for (i = 1; i <= n[c]; i++) v += (t[c, i] - m) ^ 2
                sd = n[c] > 1 ? sqrt(v / (n[c] - 1)) : 0
                for (i = 1; i <= n[c]; i++) sorted[i] = t[c, i]
                for (i = 2; i <= n[c]; i++) for (j = i; j > 1 && sorted[j - 1] > sorted[j]; j--) {
                    x = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = x }
                med = n[c] % 2 ? sorted[(n[c] + 1) / 2] : (sorted[n[c] / 2] + sorted[n[c] / 2 + 1]) / 2
                printf "%s,%.9f,%.9f,%.9f,%.9f,%.9f,%.9f,%.9f\n", c, m, sd, med, u[c] / n[c], y[c] / n[c], lo[c], hi[c]
            }
        }' "$raw/$loc"-first-*.csv >"$raw/$loc-first.csv"

    say "$loc: nothing to do: $runs_fast runs each"
    [ "$(rsync -ai --delete --dry-run "$A/src/" "$A/dst-pristine/" | wc -l)" -eq 0 ] ||
        fail "rsync would change the pristine destination: the nothing-to-do run would not be one"
    before=$(fingerprint "$A/dst-pristine")
    timed "$loc-tf_noop" "$twinfold" unattended "SrcDir=$A/src" "DstDir=$A/dst-pristine"
    hyperfine --warmup 2 --runs "$runs_fast" --export-csv "$raw/$loc-noop.csv" \
        -n twinfold "$(tf_cmd "$A/src" "$A/dst-pristine")" \
        -n rsync "$(rs_cmd "$A/src" "$A/dst-pristine")" \
        -n find "find '$A/src' '$A/dst-pristine' -printf '%s\n' >/dev/null"
    [ "$(fingerprint "$A/dst-pristine")" = "$before" ] || fail "a nothing-to-do run changed the destination"
    echo "checked: the nothing-to-do runs left the destination exactly as it was"

    say "$loc: incremental run ($change_percent% resized, added, removed): $runs_fast runs each"
    # Every run starts from the same destination, a mirror of src restored from the pristine copy
    # (rsync puts back exactly the entries the last run changed, with their times), and mirrors
    # src-changed onto it.
    reset="rsync -a --delete '$A/dst-pristine/' '$A/dst-changed/' && sync"
    mkdir -p "$A/dst-changed"
    bash -c "$reset"
    same_tree "$A/dst-pristine" "$A/dst-changed" "the reset before an incremental run"
    [ "$(fingerprint "$A/dst-changed")" != "$(fingerprint "$A/src-changed")" ] || fail "the incremental run has nothing to do"
    timed "$loc-tf_inc" "$twinfold" unattended "SrcDir=$A/src-changed" "DstDir=$A/dst-changed"
    same_tree "$A/src-changed" "$A/dst-changed" "twinfold, incremental"
    bash -c "$reset"
    timed "$loc-rs_inc" rsync -a --delete "$A/src-changed/" "$A/dst-changed/"
    same_tree "$A/src-changed" "$A/dst-changed" "rsync -a --delete, incremental"
    hyperfine --warmup 1 --runs "$runs_fast" --export-csv "$raw/$loc-inc.csv" \
        --prepare "$reset" \
        -n twinfold "$(tf_cmd "$A/src-changed" "$A/dst-changed")" \
        -n rsync "$(rs_cmd "$A/src-changed" "$A/dst-changed")"

    if [ "$loc" = tmpfs ]; then
        say "where twinfold's time goes: system calls of one nothing-to-do run (strace -c)"
        strace -c -f -o "$raw/strace.txt" "$twinfold" unattended "SrcDir=$A/src" "DstDir=$A/dst-pristine" ||
            fail "twinfold under strace failed"
        [ "$(fingerprint "$A/dst-pristine")" = "$before" ] || fail "a nothing-to-do run changed the destination"
    fi
    rm -rf "$A/dst" "$A/dst-changed"
}

say "trees in $tmpfs_work and $work"
A_tmpfs="$tmpfs_work/${prefix}a"
A_disk="$work/${prefix}a"
B="$work/${prefix}b"
make_tree "$A_tmpfs" 1 "${tree_a[@]}" changed
make_tree "$A_disk" 1 "${tree_a[@]}" changed
[ "$large" -eq 1 ] && make_tree "$B" 2 "${tree_b[@]}"

entries_a=$(count_entries "$A_tmpfs/src")
files_a=$(count_files "$A_tmpfs/src")
bytes_a=$(count_bytes "$A_tmpfs/src")
largest_a=$(largest "$A_tmpfs/src")
changed_files_a=$(count_files "$A_tmpfs/src-changed")
entries_b=0 files_b=0 bytes_b=0 largest_b=0
if [ "$large" -eq 1 ]; then
    entries_b=$(count_entries "$B/src")
    files_b=$(count_files "$B/src")
    bytes_b=$(count_bytes "$B/src")
    largest_b=$(largest "$B/src")
fi
# What the report needs besides the raw output, so that --report can write it again.
for v in revision started load_start runs_first runs_fast entries_a files_a bytes_a largest_a changed_files_a \
         entries_b files_b bytes_b largest_b large fs_disk; do
    printf '%s=%q\n' "$v" "${!v}"
done >"$raw/meta"

# The baseline for the bytes per entry: a run over a tree of one file.
empty="$work/empty-src"
rm -rf "$empty" "$work/empty-dst"
mkdir -p "$empty"
echo x >"$empty/one-file"
timed baseline "$twinfold" unattended "SrcDir=$empty" "DstDir=$work/empty-dst"
rm -rf "$work/empty-dst"

compare "$A_tmpfs" tmpfs
compare "$A_disk" disk

# Deep chains: one folder inside the other, a file in each, far past PATH_MAX. Only twinfold: rsync
# and cp give up at about 2,000 levels. The shallower chain is the yardstick for time per level.
for loc in tmpfs disk; do
    if [ "$loc" = tmpfs ]; then base=$tmpfs_work; else base=$work; fi
    for levels in "${deep_levels[@]}"; do
        say "$loc: a chain of $levels levels: first mirror and nothing to do, under /usr/bin/time"
        chain="$base/${prefix}deep-$levels"
        rm -rf "$chain" "$chain-dst"
        "$gen" deep "$chain" "$levels"
        sync
        timed "$loc-tf_deep_first_$levels" "$twinfold" unattended "SrcDir=$chain" "DstDir=$chain-dst"
        "$gen" check-deep "$chain-dst" "$levels" || fail "twinfold: the chain of $levels levels was not mirrored exactly"
        timed "$loc-tf_deep_noop_$levels" "$twinfold" unattended "SrcDir=$chain" "DstDir=$chain-dst"
        rm -rf "$chain" "$chain-dst"
    done
done

if [ "$large" -eq 1 ]; then
    say "the tree of $files_b small files on $fs_disk: one run of each, under /usr/bin/time"
    rm -rf "$B/dst"
    warm "$B/src"
    fresh "$B/dst"; timed tf_first_b "$twinfold" unattended "SrcDir=$B/src" "DstDir=$B/dst"; same_tree "$B/src" "$B/dst" twinfold
    timed tf_noop_b "$twinfold" unattended "SrcDir=$B/src" "DstDir=$B/dst"
    fresh "$B/dst"; timed rs_first_b rsync -a --delete "$B/src/" "$B/dst/"; same_tree "$B/src" "$B/dst" "rsync -a --delete"
    timed rs_noop_b rsync -a --delete "$B/src/" "$B/dst/"
    fresh "$B/dst"; timed cp_first_b cp -a "$B/src/." "$B/dst/"; same_tree "$B/src" "$B/dst" "cp -a"
    rm -rf "$B/dst"
fi
printf 'ended=%s\nload_end=%q\n' "$(date +%s)" "$(cut -d' ' -f1-3 /proc/loadavg)" >>"$raw/meta"
else
    [ -f "$raw/meta" ] && grep -q '^ended=' "$raw/meta" || fail "no complete earlier run in $raw"
fi
# shellcheck disable=SC1091
. "$raw/meta"

# ---------------------------------------------------------------------------------------------
say "report"
peak() { awk -F': ' '/Maximum resident set size/ {print $2}' "$raw/$1.time"; }  # kB
wall() {  # seconds
    awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$raw/$1.time"
}
fastest() { awk -F, -v n="$2" '$1 == n {print $7}' "$raw/$1.csv"; }
mean() { awk -F, -v n="$2" '$1 == n {print $2}' "$raw/$1.csv"; }
sd() { awk -F, -v n="$2" '$1 == n {print $3}' "$raw/$1.csv"; }
user() { awk -F, -v n="$2" '$1 == n {print $5}' "$raw/$1.csv"; }
sys() { awk -F, -v n="$2" '$1 == n {print $6}' "$raw/$1.csv"; }
ms() { awk -v m="$(mean "$1" "$2")" -v s="$(sd "$1" "$2")" 'BEGIN {printf "%.3f ± %.3f s", m, s}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
verdict() {  # ratio target run tool tool
    awk -v r="$1" -v t="$2" 'BEGIN { if (r <= t) printf "met"; else printf "missed: %.0f%% faster needed", 100 * (1 - t / r) }'
    # A spread this wide means the machine was busy with something else: the verdict may not hold.
    awk -v m1="$(mean "$3" "$4")" -v s1="$(sd "$3" "$4")" -v m2="$(mean "$3" "$5")" -v s2="$(sd "$3" "$5")" \
        'BEGIN { if (s1 > 0.2 * m1 || s2 > 0.2 * m2) printf " (uncertain: σ above 20%% of the mean)"; print "" }'
}
mib() { awk -v k="$1" 'BEGIN {printf "%.1f MiB", k / 1024}'; }
per_entry() { awk -v p="$1" -v b="$2" -v n="$3" 'BEGIN {printf "%.0f", (p - b) * 1024 / n}'; }
thousands() { echo "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'; }

# The spread of repeated runs of one tool: σ over the mean, and the slowest run over the fastest.
spread() {
    awk -v m="$(mean "$1" "$2")" -v s="$(sd "$1" "$2")" -v lo="$(fastest "$1" "$2")" \
        -v hi="$(awk -F, -v n="$2" '$1 == n {print $8}' "$raw/$1.csv")" 'BEGIN {printf "%.0f%%, %.2f×", 100 * s / m, hi / lo}'
}
# The widest spread over every tool and run measured on one file system.
widest() {  # location
    cat "$raw/$1-first.csv" "$raw/$1-noop.csv" "$raw/$1-inc.csv" | awk -F, '$1 != "command" && $2 > 0 {
        v = $3 / $2; r = $8 / $7; if (v > sv) sv = v; if (r > sr) sr = r }
        END {printf "σ up to %.0f%% of the mean, the slowest run up to %.2f× the fastest", 100 * sv, sr}'
}
cpu=$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)
mem=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
syscalls_total=$(awk '$NF == "total" {print $(NF-2)}' "$raw/strace.txt")
if [ "$quick" -eq 1 ]; then runs_text="--quick"; else runs_text="full"; fi
name_of() { if [ "$1" = tmpfs ]; then echo "a tmpfs"; else echo "$fs_disk, the work folder's disk"; fi; }

# The tables of one file system's three comparisons; the ratios are kept for the chart.
times_table() {  # location
    local l=$1 r_first_cp r_first_rs r_noop r_inc f_first_cp f_noop f_inc r_floor s t label row
    r_first_cp=$(ratio "$(mean "$l-first" twinfold)" "$(mean "$l-first" cp)")
    r_first_rs=$(ratio "$(mean "$l-first" twinfold)" "$(mean "$l-first" rsync)")
    r_noop=$(ratio "$(mean "$l-noop" twinfold)" "$(mean "$l-noop" rsync)")
    r_inc=$(ratio "$(mean "$l-inc" twinfold)" "$(mean "$l-inc" rsync)")
    f_first_cp=$(ratio "$(fastest "$l-first" twinfold)" "$(fastest "$l-first" cp)")
    f_noop=$(ratio "$(fastest "$l-noop" twinfold)" "$(fastest "$l-noop" rsync)")
    f_inc=$(ratio "$(fastest "$l-inc" twinfold)" "$(fastest "$l-inc" rsync)")
    r_floor=$(ratio "$(mean "$l-noop" twinfold)" "$(mean "$l-noop" find)")
    echo "| run | twinfold | rsync -a --delete | cp -a | ratio | fastest runs' ratio | target |"
    echo "| --- | ---: | ---: | ---: | --- | --- | --- |"
    echo "| first mirror, into an empty destination ($runs_first runs, taking turns) | $(ms "$l-first" twinfold) | $(ms "$l-first" rsync) | $(ms "$l-first" cp) | **$r_first_cp× cp -a**, $r_first_rs× rsync | $f_first_cp× cp -a | ≤ 0.7× cp -a: $(verdict "$r_first_cp" 0.7 "$l-first" twinfold cp) |"
    echo "| nothing to do ($runs_fast runs) | $(ms "$l-noop" twinfold) | $(ms "$l-noop" rsync) | | **$r_noop× rsync** | $f_noop× rsync | ≤ 0.4× rsync: $(verdict "$r_noop" 0.4 "$l-noop" twinfold rsync) |"
    echo "| incremental: $change_percent% resized, $change_percent% added, $change_percent% removed ($runs_fast runs) | $(ms "$l-inc" twinfold) | $(ms "$l-inc" rsync) | | **$r_inc× rsync** | $f_inc× rsync | ≤ 0.45× rsync: $(verdict "$r_inc" 0.45 "$l-inc" twinfold rsync) |"
    echo
    echo "Listing both trees with \`find -printf %s\`, the floor of a nothing-to-do run: $(ms "$l-noop" find);"
    echo "twinfold's nothing-to-do run takes $r_floor× that."
    echo
    echo "Run-to-run spread of each tool (σ over the mean; the slowest run over the fastest):"
    echo
    echo "| run | twinfold | rsync -a --delete | cp -a |"
    echo "| --- | ---: | ---: | ---: |"
    echo "| first mirror | $(spread "$l-first" twinfold) | $(spread "$l-first" rsync) | $(spread "$l-first" cp) |"
    echo "| nothing to do | $(spread "$l-noop" twinfold) | $(spread "$l-noop" rsync) | |"
    echo "| incremental | $(spread "$l-inc" twinfold) | $(spread "$l-inc" rsync) | |"
    echo
    echo "CPU time per run (user + system, seconds):"
    echo
    echo "| run | twinfold | rsync -a --delete | cp -a |"
    echo "| --- | ---: | ---: | ---: |"
    for s in first noop inc; do
        case $s in first) label="first mirror" ;; noop) label="nothing to do" ;; inc) label="incremental" ;; esac
        row="| $label |"
        for t in twinfold rsync cp; do
            if [ -n "$(mean "$l-$s" "$t")" ]; then
                row="$row $(awk -v u="$(user "$l-$s" "$t")" -v y="$(sys "$l-$s" "$t")" 'BEGIN {printf "%.2f + %.2f", u, y}') |"
            else
                row="$row |"
            fi
        done
        echo "$row"
    done
    echo
    echo "Peak memory of single runs (maximum resident set size from \`/usr/bin/time -v\`; for rsync the"
    echo "largest of its processes):"
    echo
    echo "| run | twinfold | rsync -a --delete | cp -a | twinfold's bytes per entry |"
    echo "| --- | ---: | ---: | ---: | ---: |"
    echo "| first mirror | $(mib "$(peak "$l-tf_first")") | $(mib "$(peak "$l-rs_first")") | $(mib "$(peak "$l-cp_first")") | $(per_entry "$(peak "$l-tf_first")" "$(peak baseline)" "$entries_a") |"
    echo "| nothing to do | $(mib "$(peak "$l-tf_noop")") | | | $(per_entry "$(peak "$l-tf_noop")" "$(peak baseline)" "$entries_a") |"
    echo "| incremental | $(mib "$(peak "$l-tf_inc")") | $(mib "$(peak "$l-rs_inc")") | | $(per_entry "$(peak "$l-tf_inc")" "$(peak baseline)" "$entries_a") |"
    printf '%s %s %s\n' "$r_first_cp" "$r_noop" "$r_inc" >"$raw/$l-ratios"
}

md="$results/$report_name.md"
png="$results/$report_name.png"
mkdir -p "$results"
{
    echo "# Benchmark: twinfold, rsync and cp"
    echo
    echo "Made by \`bench/run.sh\` ($runs_text) on $(date -u -d "@$ended" '+%Y-%m-%d %H:%M UTC'), twinfold $revision."
    if [ -n "${BENCH_NOTE:-}" ]; then echo; echo "$BENCH_NOTE"; fi
    echo
    echo "Warm cache; every destination on the same file system as its source. Times are hyperfine's"
    echo "mean ± standard deviation; ratios are twinfold's mean over the other tool's mean, measured"
    echo "in the same run. The tree: $(thousands "$files_a") files in $(thousands $((entries_a - files_a))) folders, $(mib $((bytes_a / 1024)))."
    echo
    echo "The tmpfs figures are the headline: on a tmpfs only the tools' own work is timed. On a disk"
    echo "the same run's time also depends on what the file system went through before (its inode"
    echo "allocator slows down after many deletions), so its ratios carry that drift."
    for l in tmpfs disk; do
        echo
        echo "## On $(name_of "$l")"
        echo
        echo "The machine's run-to-run spread here: $(widest "$l")."
        echo
        times_table "$l"
    done
    echo
    echo "twinfold's bytes per entry: its peak less its peak on a one-file tree ($(mib "$(peak baseline)")),"
    echo "divided by the entries (files and folders) of the source."
    echo
    echo "![twinfold's time over cp -a (first mirror) and rsync -a --delete (the other runs), tmpfs and disk]($report_name.png)"
    if [ "$large" -eq 1 ]; then
        echo
        echo "## The tree of $(thousands "$files_b") small files, on $fs_disk"
        echo
        echo "Single runs under \`/usr/bin/time -v\`: peak memory and wall time."
        echo
        echo "| run | twinfold | rsync -a --delete | cp -a | twinfold's bytes per entry |"
        echo "| --- | ---: | ---: | ---: | ---: |"
        echo "| first mirror | $(mib "$(peak tf_first_b)"), $(wall tf_first_b) s | $(mib "$(peak rs_first_b)"), $(wall rs_first_b) s | $(mib "$(peak cp_first_b)"), $(wall cp_first_b) s | $(per_entry "$(peak tf_first_b)" "$(peak baseline)" "$entries_b") |"
        echo "| nothing to do | $(mib "$(peak tf_noop_b)"), $(wall tf_noop_b) s | $(mib "$(peak rs_noop_b)"), $(wall rs_noop_b) s | | $(per_entry "$(peak tf_noop_b)" "$(peak baseline)" "$entries_b") |"
    fi
    echo
    echo "## Deep chains: one folder inside the other, a file in each"
    echo
    echo "Single runs of twinfold under \`/usr/bin/time -v\` (rsync and cp give up at about 2,000 levels);"
    echo "every mirror checked level by level."
    echo
    echo "| file system | levels | first mirror | nothing to do | peak memory | first mirror per level |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: |"
    for l in tmpfs disk; do
        for levels in "${deep_levels[@]}"; do
            echo "| $(name_of "$l") | $(thousands "$levels") | $(wall "$l-tf_deep_first_$levels") s | $(wall "$l-tf_deep_noop_$levels") s | $(mib "$(peak "$l-tf_deep_first_$levels")") | $(awk -v t="$(wall "$l-tf_deep_first_$levels")" -v n="$levels" 'BEGIN {printf "%.2f ms", 1000 * t / n}') |"
        done
    done
    echo
    echo "## System calls of one nothing-to-do run on the tmpfs ($(thousands "$entries_a") entries on each side)"
    echo
    echo "From \`strace -c -f\`; $(thousands "$syscalls_total") calls in all, $(awk -v c="$syscalls_total" -v n="$entries_a" 'BEGIN {printf "%.1f", c / n}') per source entry."
    echo
    echo "| system call | calls | per source entry | errors |"
    echo "| --- | ---: | ---: | ---: |"
    awk -v n="$entries_a" '
        /^-/ || /^%/ || $NF == "total" || NF < 5 { next }
        { calls = $4; errors = (NF == 6 ? $5 : 0); printf "| %s | %d | %.2f | %d |\n", $NF, calls, calls / n, errors }
    ' "$raw/strace.txt" | sort -t'|' -k3,3nr | head -12
    echo
    echo "## Trees"
    echo
    echo "| tree | files | folders | bytes | largest file |"
    echo "| --- | ---: | ---: | ---: | ---: |"
    echo "| documents | $(thousands "$files_a") | $(thousands $((entries_a - files_a))) | $(thousands "$bytes_a") | $(thousands "$largest_a") |"
    echo "| documents, changed for the incremental run | $(thousands "$changed_files_a") | $(thousands $((entries_a - files_a))) | | |"
    if [ "$large" -eq 1 ]; then
        echo "| small files | $(thousands "$files_b") | $(thousands $((entries_b - files_b))) | $(thousands "$bytes_b") | $(thousands "$largest_b") |"
    fi
    echo
    echo "Made by \`bench/gen_tree.cpp\` with fixed seeds: folders nested at random, file sizes log-normal"
    echo "(median about 3 KB for the documents) scaled to the total."
    echo
    echo "## Machine"
    echo
    echo "| | |"
    echo "| --- | --- |"
    echo "| processors | $(nproc) × $cpu |"
    echo "| memory | $mem |"
    echo "| file systems | tmpfs, and $fs_disk for the work folder |"
    echo "| kernel | $(uname -r) |"
    echo "| load average, start → end | $load_start → $load_end |"
    echo "| tools | $(rsync --version | head -1 | awk '{print "rsync", $3}'), $(cp --version | head -1), $(hyperfine --version) |"
    echo "| length of this run | $(( (ended - started) / 60 )) min $(( (ended - started) % 60 )) s |"
} >"$md.tmp"

# The chart: twinfold's time over the reference tool's, on each file system, with the targets.
dat="$raw/chart.dat"
read -r t1 t2 t3 <"$raw/tmpfs-ratios"
read -r d1 d2 d3 <"$raw/disk-ratios"
printf '0 %s %s\n1 %s %s\n2 %s %s\n' "$t1" "$d1" "$t2" "$d2" "$t3" "$d3" >"$dat"
gnuplot <<EOF
set terminal pngcairo size 900,520 font "sans,11"
set output "$png.tmp"
set title "twinfold's time over the reference tool's, $(thousands "$files_a") files (lower is better)"
set ylabel "twinfold's time ÷ the reference tool's"
set label "reference: cp -a for the first mirror, rsync -a --delete for the others; dashed: the target" at graph 0.5, graph -0.16 center font "sans,9"
set bmargin 6
set style fill solid 0.85 border -1
set boxwidth 0.34
set xrange [-0.6:2.6]
set yrange [0:*]
set offsets 0, 0, graph 0.12, 0
set xtics ("first mirror" 0, "nothing to do" 1, "incremental" 2) scale 0
set key outside top center horizontal
set grid ytics
set arrow from -0.45,0.7 to 0.45,0.7 nohead dt 2 lw 2 lc rgb "#c00000" front
set arrow from 0.55,0.4 to 1.45,0.4 nohead dt 2 lw 2 lc rgb "#c00000" front
set arrow from 1.55,0.45 to 2.45,0.45 nohead dt 2 lw 2 lc rgb "#c00000" front
plot "$dat" using (\$1-0.18):2 with boxes lc rgb "#2a6fbb" title "on a tmpfs", \
     ""     using (\$1+0.18):3 with boxes lc rgb "#9a9a9a" title "on $fs_disk", \
     ""     using (\$1-0.18):2:(sprintf("%.2f×", \$2)) with labels offset 0,0.7 notitle, \
     ""     using (\$1+0.18):3:(sprintf("%.2f×", \$3)) with labels offset 0,0.7 notitle, \
     NaN with lines dt 2 lw 2 lc rgb "#c00000" title "target"
EOF
mv "$md.tmp" "$md"
mv "$png.tmp" "$png"
cat "$md"
echo
echo "wrote $md and $png; raw hyperfine and time output in $raw"
