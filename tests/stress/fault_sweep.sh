#!/usr/bin/env bash
# Makes one system call of a whole mirror run fail, for every call the platform layer can fail, with
# ENOSPC, EIO and EACCES, at its 1st, 2nd, 3rd ... use, until a run no longer reaches that use. After
# every faulted run: the exit code is 0 or 1 (no crash, no sanitizer report), the source is unchanged,
# every destination entry is its previous version or a complete copy of its source, nothing the
# source has is gone from the destination, no temporary file is left, and an exit code of 0 comes
# with an exact mirror. Then a plain re-run must end with exit code 0 and an exact mirror.
#
#   fault_sweep.sh path/to/twinfold [--quick]
#
# --quick (for CI) takes one errno per call and the uses 1, 2, 3, 5, 8, 13 ... instead of every one.
set -u
bin=${1:?usage: fault_sweep.sh path/to/twinfold [--quick]}
quick=0
[ "${2:-}" = --quick ] && quick=1
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-faults.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src dst0=$work/dst0 dst=$work/dst report=$work/report
# A sanitizer's own exit code must not pass for the program's "a file operation failed".
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=86"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:exitcode=87"
passed=0 failed=0

# One line per entry below $1: type, relative path, and the content's md5 (file) or target (link).
manifest() {
    (cd "$1" && {
        find . -mindepth 1 ! -type f -printf '%y\t%P\t%l\n'
        find . -type f -print0 | xargs -0 -r md5sum | sed 's|^\([0-9a-f]*\)  \./\(.*\)$|f\t\2\t\1|'
    } | LC_ALL=C sort)
}

exact() { diff -r --no-dereference "$src" "$dst" > /dev/null 2>&1; }

# ---- the scenario: a mirror of an older source, and a source that has changed since ----
fill() {  # fill FILE SIZE
    head -c "$2" /dev/zero | tr '\0' "$(printf "\\$(printf '%03o' $((65 + $2 % 26)))")" > "$1"
}
for a in 0 1 2 3 4 5 6 7; do
    for b in 0 1 2 3; do
        mkdir -p "$src/d$a/s$b"
        for f in 0 1 2 3 4 5 6; do fill "$src/d$a/s$b/f$f" $(((a * 31 + b * 17 + f * 13) % 700)); done
    done
    for f in 0 1 2; do fill "$src/d$a/top$f" $((a * 100 + f)); done
done
head -c 1200000 /dev/urandom > "$src/d0/big"
mkdir -p "$src/links" "$src/d5/empty"
ln -s ../d0/s0/f1 "$src/links/to-file"
ln -s ../d1 "$src/links/to-dir"
ln -s nowhere "$src/links/dangling"
ln -s . "$src/links/cycle"

"$bin" unattended "SrcDir=$src" "DstDir=$dst0" || { echo "the first mirror failed" >&2; exit 1; }
mkdir -p "$dst0/extra/x/y" "$dst0/d3/extra-empty"
fill "$dst0/extra/x/y/z" 10
fill "$dst0/extra/x/w" 11
fill "$dst0/d0/.twinfold-tmp-stale" 12

for a in 0 1 2 3; do printf 'grown' >> "$src/d$a/s1/f2"; printf 'more' >> "$src/d$a/top1"; done  # CopyFileW
for a in 1 4 6; do fill "$src/d$a/s2/added" 77; done                                         # ShellCopy, a file
mkdir -p "$src/new/a/b" "$src/new/empty"                                                     # ShellCopy, a folder
for f in 0 1 2 3 4; do fill "$src/new/a/n$f" $((f * 50)); fill "$src/new/a/b/m$f" $((f * 40 + 1)); done
ln -s ../a "$src/new/a/b/up"
ln -s ../../d2 "$src/d4/s0/linked"                                                           # ShellCopy, a link
rm "$src/d2/s3/f4" "$src/d5/s0/f0" "$src/d6/top2" "$src/links/to-file"                       # DeleteFileW
rm -r "$src/d7" "$src/d6/s3"                                                                 # ShellDelete

manifest "$src" > "$work/src.manifest"
manifest "$dst0" > "$work/dst0.manifest"

# ---- one faulted run and its checks ----
fail() { echo "FAIL ($rule): $*" >&2; ok=0; }

run_case() {  # run_case RULE; sets `fired` to 1 when the run reached the rule's use
    rule=$1
    ok=1
    rm -rf "$dst" "$report"
    cp -a "$dst0" "$dst"
    TWINFOLD_FAULT=$rule TWINFOLD_FAULT_REPORT=$report "$bin" unattended "SrcDir=$src" "DstDir=$dst" \
        > "$work/out" 2> "$work/err"
    local code=$? uses=0
    [ -s "$report" ] && uses=$(cat "$report")
    local nth=${rule#*:}
    nth=${nth%%:*}
    fired=0
    [ "$uses" -ge "$nth" ] && fired=1

    case $code in
        0 | 1) ;;
        *) fail "exit code $code"; fired=1 ;;  # a crash writes no report; keep sweeping past it
    esac
    if grep -q 'Sanitizer\|runtime error' "$work/err"; then fail "sanitizer report: $(head -c 300 "$work/err")"; fi
    manifest "$src" | cmp -s - "$work/src.manifest" || fail "the source changed"
    manifest "$dst" > "$work/dst.manifest"
    local bad
    bad=$(awk -F'\t' '
        FILENAME == ARGV[1] { before[$2] = $1 "\t" $3; next }
        FILENAME == ARGV[2] { want[$2] = $1 "\t" $3; next }
        {
            seen[$2] = 1
            entry = $1 "\t" $3
            if ($1 == "d") entry = "d\t"
            if (!($2 in before && before[$2] == entry) && !($2 in want && want[$2] == entry))
                print "neither its previous version nor its source: " $2
        }
        END {
            for (p in before) if ((p in want) && !(p in seen)) print "lost although the source has it: " p
        }' "$work/dst0.manifest" "$work/src.manifest" "$work/dst.manifest")
    [ -z "$bad" ] || fail "$(echo "$bad" | head -5)"
    if find "$dst" -name '.twinfold-tmp-*' ! -name '.twinfold-tmp-stale' | grep -q .; then
        fail "a temporary file was left behind"
    fi
    if [ "$code" -eq 0 ] && ! exact; then fail "exit code 0 but the mirror is not exact"; fi
    [ "$fired" -eq 1 ] || { [ "$code" -eq 0 ] || fail "exit code $code without a fault"; }

    "$bin" unattended "SrcDir=$src" "DstDir=$dst" > /dev/null 2> "$work/err"
    code=$?
    [ "$code" -eq 0 ] || fail "the re-run ended with exit code $code: $(head -c 300 "$work/err")"
    exact || fail "the re-run did not leave an exact mirror"
    find "$dst" -name '.twinfold-tmp-*' | grep -q . && fail "the re-run left a temporary file"

    if [ "$ok" -eq 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

calls=(open read write rename mkdir unlink rmdir list lookup symlink)
errnos=(ENOSPC EIO EACCES)
for i in "${!calls[@]}"; do
    call=${calls[$i]}
    if [ "$quick" -eq 1 ]; then chosen=("${errnos[$((i % 3))]}"); else chosen=("${errnos[@]}"); fi
    for err in "${chosen[@]}"; do
        n=1 prev=1 runs=0
        while :; do
            run_case "$call:$n:$err"
            runs=$((runs + 1))
            [ "$fired" -eq 1 ] || break
            if [ "$quick" -eq 1 ]; then
                next=$((n + prev)); prev=$n; n=$next  # 1 2 3 5 8 13 ...
            else
                n=$((n + 1))
            fi
        done
        echo "$call $err: $runs runs"
    done
done

echo "fault sweep: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
