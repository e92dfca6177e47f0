#!/usr/bin/env bash
# End-to-end checks of the Linux command line: the strict arguments, --help and --version, the one
# line a failed run prints, and the installed program and manual page.
set -u
bin=${1:?usage: linux_cli_test.sh path/to/twinfold [build folder]}
build=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what" >&2; fi
}
run() {  # run CODE ARGS...: the program's exit code must be CODE; output kept in $work/out and $work/err
    local want=$1; shift
    "$bin" "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ "$got" -eq "$want" ] || { echo "  exit $got, expected $want: $*" >&2; cat "$work/err" >&2; return 1; }
}
says() {  # says FILE TEXT: FILE holds exactly the one line TEXT
    [ "$(cat "$1")" = "$2" ] || { echo "  got:      $(cat "$1")" >&2; echo "  expected: $2" >&2; return 1; }
}

src=$work/src dst=$work/dst
mkdir -p "$src/d/sub" "$dst/keep"
printf 'a' > "$src/a.bin"
printf 'x' > "$src/d/sub/x"

check "--help: usage on standard output, exit 0" run 0 --help
check "--help: nothing on standard error" [ ! -s "$work/err" ]
check "--help: the usage" grep -q '^usage: twinfold unattended SrcDir=' "$work/out"
check "-h: the same" run 0 -h
version=$(sed -n 's/^project(Twinfold VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
check "--version: the project's version" run 0 --version
check "--version: one line" says "$work/out" "twinfold $version"

# Anything but the exact form runs no pass: the destination's extra folder survives every one of these.
for args in "nodelete" "--no-delete" "--dry-run" "NoDelete extra" "NoDeletex" "xNoDelete"; do
    # shellcheck disable=SC2086
    check "usage and exit 2 for: ... $args" run 2 unattended "SrcDir=$src" "DstDir=$dst" $args
    check "usage on standard error for: $args" grep -q '^usage: twinfold unattended' "$work/err"
done
check "usage and exit 2 for a key not in front" run 2 unattended "xSrcDir=$src" "DstDir=$dst"
check "usage and exit 2 without the word unattended first" run 2 x "SrcDir=$src" "DstDir=$dst" unattended
check "usage and exit 2 for --help among other arguments" run 2 unattended "SrcDir=$src" "DstDir=$dst" --help
check "no misspelt command line ran a pass" [ -d "$dst/keep" ] && [ ! -e "$dst/a.bin" ]

# A failed run names the operation, the path and the system's reason, on one line.
TWINFOLD_FAULT="rename:1:ENOSPC:/a.bin" "$bin" unattended "SrcDir=$src" "DstDir=$dst" NoDelete 2>"$work/err"
check "failed copy: exit 1" [ $? -eq 1 ]
check "failed copy: the message" says "$work/err" "twinfold: cannot copy '$src/a.bin' to '$dst/a.bin': No space left on device"
rm -rf "$dst/d"
TWINFOLD_FAULT="open:1:EACCES:/src/d/sub/x" "$bin" unattended "SrcDir=$src" "DstDir=$dst" NoDelete 2>"$work/err"
check "failed folder copy: the entry inside it" says "$work/err" "twinfold: cannot copy '$src/d' to '$dst/d' (at '$src/d/sub/x'): Permission denied"
TWINFOLD_FAULT="rmdir:1:EACCES:/keep" "$bin" unattended "SrcDir=$src" "DstDir=$dst" 2>"$work/err"
check "failed delete: the message" says "$work/err" "twinfold: cannot delete '$dst/keep': Permission denied"
"$bin" unattended "SrcDir=$src" "DstDir=$src/d" 2>"$work/err"
check "refused folders: the message" grep -qF "twinfold: cannot mirror '$src' onto '$src/d': " "$work/err"
check "a run that succeeds is silent" run 0 unattended "SrcDir=$src" "DstDir=$dst"
check "  and says nothing" [ ! -s "$work/err" ] && [ ! -s "$work/out" ]

# Special files are mirrored as what they are, and a run over them succeeds (it used to stop there).
mkfifo "$src/pipe"
check "a FIFO in the source: exit 0" run 0 unattended "SrcDir=$src" "DstDir=$dst"
check "  and a FIFO in the destination" [ -p "$dst/pipe" ]
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    mknod "$src/null" c 1 3
    chmod 0777 "$work" "$dst"; chmod -R a+rwX "$dst"
    setpriv --reuid=65534 --regid=65534 --clear-groups "$bin" unattended "SrcDir=$src" "DstDir=$dst" 2>"$work/err"
    check "a device node as another user: the reason" says "$work/err" "twinfold: cannot copy '$src/null' to '$dst/null': Operation not permitted"
    check "a device node as root: copied" run 0 unattended "SrcDir=$src" "DstDir=$dst"
    check "  as a device" [ "$(stat -c %F:%t:%T "$dst/null")" = "character special file:1:3" ]
else
    echo "skipped: device nodes as another user (needs root and setpriv)"
fi

# The installed program and manual page.
if [ -n "$build" ]; then
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    check "installed program runs" [ "$("$work/prefix/bin/twinfold" --version)" = "twinfold $version" ]
    page=$work/prefix/share/man/man1/twinfold.1
    check "installed manual page" [ -f "$page" ]
    check "  carries the version" grep -q "twinfold $version" "$page"
    if command -v man >/dev/null; then
        check "  renders" bash -c 'man -l "$0" 2>&1 | grep -q "SYNOPSIS"' "$page"
    fi
fi

echo "linux cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
