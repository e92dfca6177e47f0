#!/usr/bin/env bash
# End-to-end checks of the built command-line program on real trees: exit codes, the resulting
# trees (diff -r), NoDelete, the usage text, and the refusals of empty and overlapping folders.
set -u
bin=${1:?usage: unattended_test.sh path/to/twinfold}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/e2e_support.sh"

files_exist() {  # files_exist PATH...: every one a regular file
    local path
    for path; do [ -f "$path" ] || { echo "  missing: $path" >&2; return 1; }; done
}

env_exit() {  # env_exit NAME=VALUE CODE ARGS...: expect_exit with one more variable in the environment
    local assignment=$1; shift
    (export "${assignment?}"; expect_exit "$@")
}

# A tree of 10,000 entries: 400 folders in two levels, 24 files in each, sizes that vary.
src=$work/src
for a in $(seq 1 20); do
    for b in $(seq 1 20); do
        d=$src/dir$a/sub$b
        mkdir -p "$d"
        for f in $(seq 1 24); do printf '%*s' $(( (a * b * f) % 700 )) "" > "$d/file$f.txt"; done
    done
done
mkdir -p "$src/empty folder" "$src/with space"
printf 'odd name' > "$src/with space/na me\\back*.*"
entries=$(find "$src" -mindepth 1 | wc -l)
check "the generated tree has at least 10,000 entries" [ "$entries" -ge 10000 ]

dst=$work/dst
check "first mirror exits 0" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"
check "first mirror is exact" diff -r "$src" "$dst"

# Change the source: one file resized, one added, one removed; add extras to the destination.
printf 'grown' >> "$src/dir3/sub4/file5.txt"
printf 'new' > "$src/dir7/new.txt"
rm "$src/dir9/sub9/file9.txt"
mkdir -p "$dst/extra/nested/deeper" && printf x > "$dst/extra/nested/deeper/x" && printf y > "$dst/dir1/extra.txt"

check "NoDelete run exits 0" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst" NoDelete
check "NoDelete keeps the extras" files_exist "$dst/extra/nested/deeper/x" "$dst/dir1/extra.txt" "$dst/dir9/sub9/file9.txt"
check "NoDelete copies the changes" cmp -s "$src/dir3/sub4/file5.txt" "$dst/dir3/sub4/file5.txt"
check "a full run exits 0" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"
check "a full run leaves an exact mirror" diff -r "$src" "$dst"
check "argument 4 that is not NoDelete runs nothing" \
    bash -c 'mkdir -p "$1/x" && { "$0" unattended "SrcDir=$2" "DstDir=$1" keep NoDelete 2>/dev/null; [ $? -eq 2 ]; } && [ -e "$1/x" ] && rmdir "$1/x"' "$bin" "$dst" "$src"

# Command lines that do not select unattended mode: the usage text and exit code 2.
for args in "unattended SrcDir=$src" "SrcDir=$src DstDir=$dst unattended" "unattended srcdir=$src DstDir=$dst" ""; do
    # shellcheck disable=SC2086
    check "usage for: $args" expect_exit 2 $args
    check "usage text printed for: $args" grep -q '^usage: twinfold unattended' "$work/err"
done

# Refused folders: exit 1, nothing touched.
before=$(find "$work" | sort | md5sum)
check "empty source refused" expect_exit 1 unattended "SrcDir=" "DstDir=$dst"
check "empty destination refused" expect_exit 1 unattended "SrcDir=$src" "DstDir="
check "destination inside the source refused" expect_exit 1 unattended "SrcDir=$src" "DstDir=$src/dir1/copy"
check "source inside the destination refused" expect_exit 1 unattended "SrcDir=$dst/dir1" "DstDir=$dst"
check "missing source refused" expect_exit 1 unattended "SrcDir=$work/not-mounted/src" "DstDir=$dst"
check "missing source: the reason on stderr" \
    grep -qxF "twinfold: cannot mirror '$work/not-mounted/src' onto '$dst': The source folder does not exist or is not a folder." "$work/err"
check "refusals touched nothing" [ "$before" = "$(find "$work" | sort | md5sum)" ]
check "the same folder on both sides is allowed" expect_exit 0 unattended "SrcDir=$src" "DstDir=$src/"

# A failing copy ends with exit code 1 and never runs the delete pass; a failing deletion ends with 1 too.
printf 'changed size' > "$src/dir2/sub2/file2.txt"
mkdir -p "$dst/must-survive"
check "failed copy exits 1" env_exit TWINFOLD_FAULT=rename:1:ENOSPC 1 unattended "SrcDir=$src" "DstDir=$dst"
check "failed copy left the delete pass unrun" [ -d "$dst/must-survive" ]
check "failed folder removal exits 1" env_exit TWINFOLD_FAULT=rmdir:1:EACCES 1 unattended "SrcDir=$src" "DstDir=$dst"
check "after a complete copy pass" cmp -s "$src/dir2/sub2/file2.txt" "$dst/dir2/sub2/file2.txt"
check "a re-run completes the mirror" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"
check "and leaves it exact" diff -r "$src" "$dst"

# Out of memory, by a limit on the address space from the least the program starts with upwards: every
# run either mirrors or says so in one line and exits 1, and none leaves a temporary entry behind.
least=""
for limit in $(seq 2000 1000 64000); do
    if { (ulimit -v "$limit" && exec "$bin" --version) >/dev/null 2>&1; } 2>/dev/null; then least=$limit; break; fi
done
if [ -z "$least" ]; then
    echo "skipped: out of memory (the program does not start under ulimit -v, as under AddressSanitizer)" >&2
else
    oom=$work/oom oom_runs=0 bad_runs=0
    for limit in $(seq "$least" 3000 $((least + 21000))); do
        (ulimit -v "$limit" && exec "$bin" unattended "SrcDir=$src" "DstDir=$oom") >"$work/out" 2>"$work/err"
        code=$?
        said=$(grep -c "^twinfold: out of memory while " "$work/err")
        if [ "$code" -eq 1 ] && [ "$said" -eq 1 ] && [ "$(wc -l <"$work/err")" -eq 1 ]; then
            oom_runs=$((oom_runs + 1))
        elif [ "$code" -ne 0 ] || [ -s "$work/err" ]; then
            bad_runs=$((bad_runs + 1)) && echo "  ulimit -v $limit: exit $code: $(head -c 300 "$work/err")" >&2
        fi
        if [ -n "$(find "$oom" -name '.twinfold-tmp-*' 2>/dev/null)" ]; then
            bad_runs=$((bad_runs + 1)) && echo "  ulimit -v $limit: a temporary entry was left" >&2
        fi
    done
    check "out of memory: every run mirrored or said so in one line, leaving no temporary entry" [ "$bad_runs" -eq 0 ]
    check "out of memory: some runs ran out" [ "$oom_runs" -gt 0 ]
    check "out of memory: a run without a limit completes the mirror" expect_exit 0 unattended "SrcDir=$src" "DstDir=$oom"
    check "  exactly" diff -r "$src" "$oom"
fi

echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
