#!/usr/bin/env bash
# Kills twinfold with SIGKILL at random moments of real mirror runs and checks after every kill that
# nothing was lost: the source is unchanged, every destination file under its own name is either its
# previous version or a complete copy of its source, every folder that the destination lacked and
# that now stands under its own name is complete (contents and permission bits), and a plain re-run
# ends with exit code 0 and an exact mirror (no temporary file left either).
#
#   crash_test.sh path/to/twinfold [KILLS] [FILES]     defaults: 200 kills, 3000 files
set -u
bin=${1:?usage: crash_test.sh path/to/twinfold [KILLS] [FILES]}
kills=${2:-200}
files=${3:-3000}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-crash.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src dst=$work/dst
RANDOM=${CRASH_SEED:-4242}

. "$(dirname "$0")/crash_checks.sh"

make_tree() {
    local i d
    for ((i = 0; i < files; i++)); do
        d=$src/d$((i % 37))/e$((i % 11))
        [ -d "$d" ] || mkdir -p "$d"
        head -c $(((i * 7919) % 9000)) /dev/urandom > "$d/f$i"
    done
    for i in 1 2 3 4 5 6; do head -c $((i * 1500000)) /dev/urandom > "$src/d$i/big$i"; done
    mkdir -p "$src/empty/inner"
}

# Changes, adds and removes a few files of the source, so the next run has work of every kind.
change_source() {
    local i n
    for ((i = 0; i < 40; i++)); do
        n=$((RANDOM % files))
        case $((RANDOM % 3)) in
            0) [ -f "$src/d$((n % 37))/e$((n % 11))/f$n" ] && head -c $((RANDOM % 5000 + 1)) /dev/urandom >> "$src/d$((n % 37))/e$((n % 11))/f$n" ;;
            1) head -c $((RANDOM % 3000)) /dev/urandom > "$src/d$((n % 37))/new$RANDOM" ;;
            2) rm -f "$src/d$((n % 37))/e$((n % 11))/f$n" ;;
        esac
    done
    head -c $((RANDOM * 100 + 1)) /dev/urandom > "$src/d$((RANDOM % 6 + 1))/big$((RANDOM % 6 + 1))"
    [ $((RANDOM % 4)) -eq 0 ] && rm -rf "$src/d$((RANDOM % 37))/e$((RANDOM % 11))"
}

make_tree
"$bin" unattended "SrcDir=$src" "DstDir=$dst" || { echo "the first mirror failed" >&2; exit 1; }
start=$(date +%s%N); rm -rf "$dst"; "$bin" unattended "SrcDir=$src" "DstDir=$dst"; full_ms=$((($(date +%s%N) - start) / 1000000))
[ "$full_ms" -gt 5 ] || full_ms=5

for ((k = 1; k <= kills; k++)); do
    # Every fourth kill hits a first mirror into an empty destination, the rest an incremental run;
    # every other incremental run also has a whole folder to copy.
    if [ $((k % 4)) -eq 0 ]; then rm -rf "$dst"; else change_source; fi
    [ $((k % 2)) -eq 1 ] && rm -rf "$dst/d$((RANDOM % 37))"
    note_before

    "$bin" unattended "SrcDir=$src" "DstDir=$dst" &
    pid=$!
    ms=$(((RANDOM * 32768 + RANDOM) % full_ms))
    sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null

    check_after_kill

    "$bin" unattended "SrcDir=$src" "DstDir=$dst"
    code=$?
    [ "$code" -eq 0 ] || fail "the re-run ended with exit code $code"
    diff -r "$src" "$dst" > /dev/null || fail "the re-run did not leave an exact mirror"
done

echo "crash: $kills kills, $failures failures"
[ "$failures" -eq 0 ] && echo "$kills passed, 0 failed" || echo "$((kills - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
