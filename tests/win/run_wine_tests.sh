#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: the engine's unit tests, a check of the program file,
# and the UI driver (dialog and unattended runs) on a virtual display.
# Usage: tests/win/run_wine_tests.sh BUILD_DIR        (a build made with the mingw-w64 toolchain file)
set -u

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for file in Twinfold.exe tests/Twinfold_nothreads.exe tests/Twinfold_limits.exe tests/twinfold_unit_tests.exe \
    tests/twinfold_ui_driver.exe tests/twinfold_launch.exe tests/twinfold_hold.exe; do
  [[ -f "$build/$file" ]] || { echo "missing $build/$file: build with the mingw preset first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/twinfold-wine.XXXXXX)
export WINEPREFIX="$work/prefix"
# Wine as Debian builds it keeps a prefix's server socket in a folder under $TMPDIR and notes only
# that folder's name in the prefix: a program of the prefix started with another TMPDIR starts a
# second server for the same prefix, one that `wineserver -k` here never reaches. Every program of
# this run sees this TMPDIR, so the prefix has one server at a time, and its folder goes with $work.
export TMPDIR="$work"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
. "$here/wine_prefix.sh"

# Runs a command with a time limit. `timeout` gives the command a process group of its own, which
# the terminal's Ctrl-C does not reach; so it runs in the background while this shell waits, and
# the traps below stop it at once.
timed_pid=
timed() {  # timed SECONDS COMMAND...
  timeout "$@" &
  timed_pid=$!
  wait "$timed_pid"
  local status=$?
  timed_pid=
  return "$status"
}
# On every way out, Ctrl-C and failures included: the command running, every program of the prefix
# and its server are ended before the work folder goes.
cleanup() {
  trap - INT TERM HUP
  [[ -n "$timed_pid" ]] && kill -TERM "$timed_pid" 2>/dev/null
  stop_wine
  [[ -n "$timed_pid" ]] && wait "$timed_pid" 2>/dev/null
  cd / && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
cd "$work" || exit 2

passed=0
failed=0
skipped=0  # scenarios that Wine could not carry out, each with its reason
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }
# Adds a test program's counts to the totals; one that ended badly without a failed test fails itself.
add_counts() {  # what status log ok failed
  passed=$((passed + $4))
  failed=$((failed + $5))
  if [[ $2 -ne 0 && $5 -eq 0 ]]; then
    tail -20 "$3"
    fail "$1 ended with status $2"
  fi
}

# Wine paths for files of the Linux tree: drive Z: is the root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# An unattended run of Twinfold.exe through the launcher, whose exit code tells a crash apart.
unattended() { timed 120 wine "$build/tests/twinfold_launch.exe" "$(winpath "$build/Twinfold.exe")" unattended "$@"; }

echo "== preparing a private Wine prefix"
wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; echo "0 passed, 1 failed"; exit 1; }
prepare_wine_prefix || { echo "the prefix could not be given Wine's fonts"; echo "0 passed, 1 failed"; exit 1; }

echo "== the program file"
if command -v x86_64-w64-mingw32-objdump >/dev/null; then
  headers=$(x86_64-w64-mingw32-objdump -p "$build/Twinfold.exe")
  if grep -q 'Subsystem.*(Windows GUI)' <<<"$headers"; then pass; else fail "Twinfold.exe is not a GUI program"; fi
  # Only DLLs that every Windows has: the C++ runtime and threads are linked in.
  others=$(grep 'DLL Name:' <<<"$headers" | awk '{print toupper($3)}' |
    grep -vxE 'KERNEL32.DLL|USER32.DLL|GDI32.DLL|SHELL32.DLL|OLE32.DLL|COMCTL32.DLL|MSVCRT.DLL|ADVAPI32.DLL')
  if [[ -z "$others" ]]; then pass; else fail "Twinfold.exe needs extra DLLs: $others"; fi
fi

echo "== engine unit tests under Wine"
unit_log="$work/unit.log"
timed 600 wine "$build/tests/twinfold_unit_tests.exe" >"$unit_log" 2>&1
unit_status=$?
unit_ok=$(grep -c '^\[       OK \]' "$unit_log")
unit_failed=$(grep -c '^\[  FAILED  \] [A-Za-z_0-9]*\.[A-Za-z_0-9]* (' "$unit_log")
grep '^\[  FAILED  \] [A-Za-z_0-9]*\.[A-Za-z_0-9]* (' "$unit_log" | sed 's/^/  /'
add_counts "unit tests" "$unit_status" "$unit_log" "$unit_ok" "$unit_failed"
echo "unit tests: $unit_ok passed, $unit_failed failed"

echo "== delete pass against a source that cannot be read"
# A link that loops on itself cannot be resolved: Wine answers lookups through it with an error that
# is not "not found", just as a source that stops answering would. Nothing may be deleted then.
# A source folder that is simply gone is a real "not found": its counterparts are deleted.
unreadable="$work/unreadable"
mkdir -p "$unreadable/src" "$unreadable/dst/loop" "$unreadable/dst/gone"
printf k >"$unreadable/src/keep.txt"
ln -s loop "$unreadable/src/loop"
printf k >"$unreadable/dst/keep.txt"
printf x >"$unreadable/dst/extra.txt"
printf x >"$unreadable/dst/loop/inside.txt"
printf x >"$unreadable/dst/gone/inside.txt"
before=$(cd "$unreadable/dst" && find . | sort)
unattended "SrcDir=$(winpath "$unreadable/src")" "DstDir=$(winpath "$unreadable/dst")" >/dev/null 2>&1
code=$?
if [[ $code -eq 1 ]]; then pass; else fail "unreadable source: exit code $code, expected 1"; fi
if [[ "$(cd "$unreadable/dst" && find . | sort)" == "$before" ]]; then pass; else fail "unreadable source: something was deleted"; fi
rm "$unreadable/src/loop"
unattended "SrcDir=$(winpath "$unreadable/src")" "DstDir=$(winpath "$unreadable/dst")" >/dev/null 2>&1
code=$?
if [[ $code -eq 0 && ! -e "$unreadable/dst/loop" && ! -e "$unreadable/dst/gone" && ! -e "$unreadable/dst/extra.txt" &&
      -f "$unreadable/dst/keep.txt" ]]; then pass; else fail "source folders that are gone: exit code $code, or the wrong entries deleted"; fi

echo "== unattended runs killed at random moments"
# A short campaign; tests/win/crash_test.sh on its own runs 100 kills.
crash_log="$work/crash.log"
"$here/crash_test.sh" "$build/Twinfold.exe" "${TWINFOLD_WINE_CRASH_KILLS:-8}" >"$crash_log" 2>&1
crash_status=$?
grep '^FAIL' "$crash_log"
line=$(grep -E '^wine-crash: [0-9]+ passed, [0-9]+ failed' "$crash_log" | tail -1)
crash_ok=$(sed -E 's/.* ([0-9]+) passed.*/\1/' <<<"${line:-x 0 passed}")
crash_failed=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"${line:-x 0 failed}")
add_counts "crash campaign" "$crash_status" "$crash_log" "$crash_ok" "$crash_failed"
echo "crash campaign: $crash_ok passed, $crash_failed failed"

echo "== a source that is not there"
# A source drive that is not mounted must not report success night after night.
unattended "SrcDir=$(winpath "$work/no-such-source")" "DstDir=$(winpath "$unreadable/dst")" >/dev/null 2>&1
code=$?
if [[ $code -eq 1 ]]; then pass; else fail "missing source: exit code $code, expected 1"; fi

echo "== dialog and unattended runs, driven on a virtual display"
# Programs of this prefix that started without a display (wineboot's, the unit tests') must be gone
# first, or the new windows would belong to a desktop that has no display.
stop_wine
scratch="$work/scratch"
mkdir -p "$scratch"
driver_log="$work/driver.log"
timed 900 xvfb-run -a -s "-screen 0 1024x768x24" \
  wine "$build/tests/twinfold_ui_driver.exe" "$(winpath "$build/Twinfold.exe")" \
  "$(winpath "$build/tests/Twinfold_nothreads.exe")" "$(winpath "$scratch")" ${TWINFOLD_UI_FILTER:+"$TWINFOLD_UI_FILTER"} \
  >"$driver_log" 2>&1
driver_status=$?
grep -E '^(PASS|FAIL|SKIP) |^    ' "$driver_log"
driver_ok=$(grep -c '^PASS ' "$driver_log")
driver_failed=$(grep -c '^FAIL ' "$driver_log")
skipped=$((skipped + $(grep -c '^SKIP ' "$driver_log")))
add_counts "UI driver" "$driver_status" "$driver_log" "$driver_ok" "$driver_failed"

echo "== the dialog at 150 % (144 DPI)"
layout_log="$work/layout.log"
set_wine_dpi 144
timed 300 xvfb-run -a -s "-screen 0 1024x768x24" \
  wine "$build/tests/twinfold_ui_driver.exe" "$(winpath "$build/Twinfold.exe")" \
  "$(winpath "$build/tests/Twinfold_nothreads.exe")" "$(winpath "$scratch")" "layout:" >"$layout_log" 2>&1
layout_status=$?
grep -E '^(PASS|FAIL|SKIP) |^    ' "$layout_log"
skipped=$((skipped + $(grep -c '^SKIP ' "$layout_log")))
add_counts "layout at 144 DPI" "$layout_status" "$layout_log" "$(grep -c '^PASS ' "$layout_log")" "$(grep -c '^FAIL ' "$layout_log")"

# Last: its drive letter, once mapped, leaves the folder browser of this prefix unable to settle.
echo "== everyday trees: deep, long, read-only, a drive's root, odd names, a file held open"
trees_log="$work/trees.log"
"$here/trees_test.sh" "$build" >"$trees_log" 2>&1
trees_status=$?
grep -A4 '^FAIL' "$trees_log"
line=$(grep -E '^wine-trees: [0-9]+ passed, [0-9]+ failed' "$trees_log" | tail -1)
trees_ok=$(sed -E 's/.* ([0-9]+) passed.*/\1/' <<<"${line:-x 0 passed}")
trees_failed=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"${line:-x 0 failed}")
add_counts "everyday trees" "$trees_status" "$trees_log" "$trees_ok" "$trees_failed"
echo "everyday trees: $trees_ok passed, $trees_failed failed"

echo "$passed passed, $failed failed$( ((skipped == 0)) || echo ", $skipped skipped")"
[[ $failed -eq 0 ]]
