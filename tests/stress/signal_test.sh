#!/usr/bin/env bash
# Stops twinfold with SIGINT, SIGTERM and SIGHUP at known moments of a first mirror and of an
# incremental run, and checks after each stop: the exit code is 128 + the signal with one line on
# standard error, no temporary entry is left anywhere in the destination, the run stopped before its
# end, the source is unchanged, every destination file under its own name is its old version or a
# complete copy, every folder that appeared is complete, and a re-run makes an exact mirror.
#
# The moments are set through the test build's fault hook: "read:5:SIGINT" makes the program send
# itself SIGINT at its 5th read of file data, so each case stops at the same place on every run.
# One case stops the program there instead (SIGSTOP) and sends SIGINT from outside, as a terminal's
# Ctrl-C would.
#
#   signal_test.sh path/to/twinfold_with_faults
set -u
bin=${1:?usage: signal_test.sh path/to/twinfold_with_faults}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-signal.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src dst=$work/dst
. "$(dirname "$0")/crash_checks.sh"
cases=0 failed_cases=0

make_tree() {
    local i d
    rm -rf "$src"
    for ((i = 0; i < 240; i++)); do
        d=$src/d$((i % 6))/e$((i % 4))
        mkdir -p "$d"
        head -c $(((i * 7919) % 20000)) /dev/urandom >"$d/f$i"
    done
    # Files of several chunks, so that a copy can be stopped between two of them.
    for i in 1 2 3; do head -c $((i * 700000)) /dev/urandom >"$src/d$i/big$i"; done
    mkdir -p "$src/empty/inner"
}

# What an incremental run has to do: files grown and added, a folder the destination lacks, and
# extra destination entries for the delete pass. Sizes change on every call: a file is copied over
# only when its size differs.
round=0
change_tree() {
    local i
    round=$((round + 1))
    for ((i = 0; i < 240; i += 9)); do printf 'more' >>"$src/d$((i % 6))/e$((i % 4))/f$i"; done
    for i in 1 2 3 4 5; do head -c $((3000 + round)) /dev/urandom >"$src/d$i/new$i"; done
    head -c $((900000 + round)) /dev/urandom >"$src/d2/big2"
    rm -rf "$dst/d4"
    for i in 1 2 3; do printf 'x' >"$dst/d$i/extra$i"; done
    mkdir -p "$dst/extra-folder/inner" && printf 'x' >"$dst/extra-folder/inner/x"
}

# The folders that hold a file somewhere below $1. A folder without one is copied with no read of
# file data, so it may land before a stop at the first read, wherever the listing puts it.
filled_folders() {
    [ -d "$1" ] || return 0
    (cd "$1" && find . -type f -not -path '*/.twinfold-tmp-*' -printf '%h\n' |
        awk -F/ '{ p = $1; for (i = 2; i <= NF; i++) { p = p "/" $i; print p } }' | sort -u)
}

# Runs the program stopped by SIGSTOP at the rule's moment, sends it SIGINT from outside and lets
# it go on. Started as a job of its own, since a script's background jobs ignore SIGINT.
interrupt_from_outside() {  # RULE
    set -m
    TWINFOLD_FAULT=$1 "$bin" unattended "SrcDir=$src" "DstDir=$dst" 2>"$work/err" &
    local pid=$! state="" _
    set +m
    for _ in $(seq 1000); do
        state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f1)
        [ "$state" = T ] && break
        sleep 0.01
    done
    [ "$state" = T ] || echo "the program did not reach its stop" >&2
    kill -INT "$pid"
    kill -CONT "$pid"
    wait "$pid"
}

# One case: RUN (first or incremental), RULE, the signal's name and the exit code it must give, and
# "unchanged" when the stop comes before anything has landed: the copy being made is given up.
stop_case() {
    local run=$1 rule=$2 name=$3 want=$4 landed=${5:-} code before=$failures
    k="$run run, $rule"
    if [ "$run" = first ]; then rm -rf "$dst"; else change_tree; fi
    note_before
    filled_folders "$dst" >"$work/filled.before"
    if [ "${rule##*:}" = SIGSTOP ]; then
        interrupt_from_outside "$rule"
    else
        TWINFOLD_FAULT=$rule "$bin" unattended "SrcDir=$src" "DstDir=$dst" 2>"$work/err"
    fi
    code=$?
    [ "$code" -eq "$want" ] || fail "exit code $code, expected $want"
    [ "$(cat "$work/err")" = "twinfold: stopped by $name; the destination may not be a complete mirror" ] ||
        fail "standard error: $(head -c 300 "$work/err")"
    [ -z "$(find "$dst" -name '.twinfold-tmp-*' 2>/dev/null)" ] ||
        fail "temporary entries left: $(find "$dst" -name '.twinfold-tmp-*' | head -3)"
    ! diff -r "$src" "$dst" >/dev/null 2>&1 || fail "the run did not stop before its end"
    if [ "$landed" = unchanged ]; then
        [ "$(sums "$dst")" = "$(cat "$work/dst.before")" ] && [ "$(filled_folders "$dst")" = "$(cat "$work/filled.before")" ] ||
            fail "a copy begun before the signal still landed"
    fi
    check_after_kill
    "$bin" unattended "SrcDir=$src" "DstDir=$dst" || fail "the re-run failed"
    diff -r "$src" "$dst" >/dev/null || fail "the re-run did not leave an exact mirror"
    cases=$((cases + 1))
    [ "$failures" -eq "$before" ] || failed_cases=$((failed_cases + 1))
}

make_tree
# A first mirror copies each top folder whole under a temporary name: stopped while a folder is
# being made, while its files are copied (between two chunks of a big one too), and as one lands.
stop_case first "mkdir:2:SIGINT" SIGINT 130
stop_case first "read:1:SIGINT" SIGINT 130 unchanged
stop_case first "read:60:SIGTERM" SIGTERM 143
stop_case first "open:150:SIGHUP" SIGHUP 129
stop_case first "rename:1:SIGINT" SIGINT 130
stop_case first "read:90:SIGSTOP" SIGINT 130
# An incremental run copies files ahead on other threads and removes extras: stopped while the
# trees are listed, while copies are made and placed, while a missing folder is copied, and while
# the delete pass removes.
"$bin" unattended "SrcDir=$src" "DstDir=$dst" || fail "the mirror before the incremental cases failed"
stop_case incremental "list:4:SIGINT" SIGINT 130
stop_case incremental "read:1:SIGINT" SIGINT 130 unchanged
stop_case incremental "read:8:SIGTERM" SIGTERM 143
stop_case incremental "rename:2:SIGHUP" SIGHUP 129
stop_case incremental "mkdir:1:SIGINT" SIGINT 130
stop_case incremental "unlink:1:SIGTERM" SIGTERM 143
stop_case incremental "read:5:SIGSTOP" SIGINT 130

echo "signals: $((cases - failed_cases)) passed, $failed_cases failed"
[ "$failures" -eq 0 ]
