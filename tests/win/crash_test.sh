#!/usr/bin/env bash
# Kills Twinfold.exe (unattended, under Wine) with SIGKILL at random moments and checks after every
# kill that nothing was lost: the source is unchanged, every destination file under its own name is
# its old version or a complete copy, every folder that the destination lacked and that now stands
# under its own name is complete, and a plain re-run ends with exit code 0 and an exact mirror.
# Large files are replaced by copies of other sizes on every round, so that kills land in the
# middle of a copy, where Windows' own copy has already given the file its full size.
#
#   crash_test.sh path/to/Twinfold.exe [KILLS]        default 100 kills; needs WINEPREFIX set up
set -u
exe=${1:?usage: crash_test.sh path/to/Twinfold.exe [KILLS]}
kills=${2:-100}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-wine-crash.XXXXXX")
own_server= pid=
# On every way out, Ctrl-C included: a run still going is killed, and a server this campaign started
# is stopped (a run in the background does not get the terminal's Ctrl-C).
cleanup() {
    if [[ -n "$pid" ]]; then
        kill -KILL "$pid" 2>/dev/null
        pkill -KILL -f "Twinfold.exe unattended.*${work##*/}" 2>/dev/null
    fi
    if [[ -n "$own_server" ]]; then
        wineserver -k 2>/dev/null
        timeout 60 wineserver -w 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# Wine ends its program on Ctrl-C with an ordinary exit code, after which the shell would go on.
trap 'exit 130' INT
trap 'exit 143' TERM
src=$work/src dst=$work/dst
RANDOM=${CRASH_SEED:-1717}
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The launcher beside the test programs reports a crash of a re-run instead of the 0 `wine` may give.
launch=$(dirname "$exe")/tests/twinfold_launch.exe
run() {  # one unattended run to its end; its exit code
    wine "$launch" "$(winpath "$exe")" unattended "SrcDir=$(winpath "$src")" "DstDir=$(winpath "$dst")" >/dev/null 2>&1
}

. "$(dirname "$0")/../stress/crash_checks.sh"

big_files() {  # new contents, of new sizes, for the files that each round replaces
    local i
    for i in 1 2 3 4; do head -c $(((RANDOM % 24 + 12) * 1048576 + RANDOM)) /dev/urandom > "$src/big/file$i.bin"; done
}

mkdir -p "$src/big" "$src/small" "$src/folder/inner"
big_files
for i in $(seq 1 150); do head -c $((i * 37)) /dev/urandom > "$src/small/s$i.txt"; done
for i in $(seq 1 120); do head -c $((i * 53)) /dev/urandom > "$src/folder/f$i.txt"; done
head -c 20000000 /dev/urandom > "$src/folder/inner/large.bin"
for i in $(seq 1 40); do head -c $((i * 11)) /dev/urandom > "$src/folder/inner/g$i.txt"; done

# One wineserver kept for all runs: starts are quicker. It stays until it is stopped, so the one
# started here is stopped at the end.
wineserver -p 2>/dev/null && own_server=1
run || { echo "the first mirror failed" >&2; exit 1; }
big_files
rm -rf "$dst/folder"
start=$(date +%s%N); run; full_ms=$((($(date +%s%N) - start) / 1000000))
[ "$full_ms" -gt 100 ] || full_ms=100

for ((k = 1; k <= kills; k++)); do
    big_files
    rm -rf "$dst/folder"
    [ $((k % 5)) -eq 0 ] && rm -f "$dst/small/s$((RANDOM % 150 + 1)).txt"
    note_before

    wine "$exe" unattended "SrcDir=$(winpath "$src")" "DstDir=$(winpath "$dst")" >/dev/null 2>&1 &
    pid=$!
    ms=$(((RANDOM * 32768 + RANDOM) % full_ms))
    sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
    {
        kill -KILL "$pid"
        pkill -KILL -f "Twinfold.exe unattended.*${work##*/}"  # this campaign's run only
        wait "$pid"
    } 2>/dev/null
    pid=
    sleep 0.2  # the wineserver lets go of the dead process's files

    check_after_kill

    run
    code=$?
    [ "$code" -eq 0 ] || fail "the re-run ended with exit code $code"
    diff -r "$src" "$dst" > /dev/null || fail "the re-run did not leave an exact mirror"
done

echo "wine crash: $kills kills, $failures failures"
echo "wine-crash: $((kills - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
