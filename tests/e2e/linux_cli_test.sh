#!/usr/bin/env bash
# End-to-end checks of the Linux command line: the strict arguments, --help and --version, the line
# a failed run prints, and the installed program and manual page.
set -u
bin=${1:?usage: linux_cli_test.sh path/to/twinfold [build folder to install from]}
build=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/e2e_support.sh"
run() { expect_exit "$@"; }  # run CODE ARGS...

src=$work/src dst=$work/dst
mkdir -p "$src" "$dst/keep" && printf 'a' > "$src/a.bin"
version=$(sed -n 's/^project(Twinfold VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")

check "--help: usage on standard output only" bash -c '"$0" --help 2>&1 >/dev/null | grep -q . && exit 1; "$0" -h | grep -q "^usage: twinfold unattended SrcDir="' "$bin"
check "--version: the project's version" [ "$("$bin" --version)" = "twinfold $version" ]
# Output that cannot be written is a failure with its reason, not a silent success.
for option in --help --version; do
    "$bin" $option >/dev/full 2>"$work/err"
    check "$option to a full disk: exit 1" [ $? -eq 1 ]
    check "$option to a full disk: the reason" [ "$(cat "$work/err")" = "twinfold: write error: No space left on device" ]
    "$bin" $option >&- 2>"$work/err"
    check "$option to a closed output: exit 1 and the reason" \
        [ $? -eq 1 -a "$(cat "$work/err")" = "twinfold: write error: Bad file descriptor" ]
done
# Anything but the exact form is the usage and exit 2, and runs no pass: the extra folder survives.
for args in "nodelete" "--no-delete" "--dry-run" "NoDelete extra" "--help" "xNoDeletex" "NoDeletes" "xNoDelete"; do
    # shellcheck disable=SC2086
    check "usage for: ... $args" run 2 unattended "SrcDir=$src" "DstDir=$dst" $args
done
# --help and --version stand alone: followed by anything, they are a misspelt line too.
for args in "--help x" "-h unattended" "--version --help" "--version x"; do
    # shellcheck disable=SC2086
    check "usage for: $args" run 2 $args
done
check "usage for a key not in front" run 2 unattended "xSrcDir=$src" "DstDir=$dst"
check "usage for the word unattended elsewhere" run 2 x "SrcDir=$src" "DstDir=$dst" unattended
check "no misspelt command line ran a pass" [ -d "$dst/keep" ] && [ ! -e "$dst/a.bin" ]

TWINFOLD_FAULT="rename:1:ENOSPC:/a.bin" "$bin" unattended "SrcDir=$src" "DstDir=$dst" >"$work/out" 2>"$work/err"
check "failed copy: exit 1" [ $? -eq 1 ]
check "failed copy: one line on standard error" [ "$(cat "$work/err")" = "twinfold: cannot copy '$src/a.bin' to '$dst/a.bin': No space left on device" ]
check "a run that succeeds says nothing" run 0 unattended "SrcDir=$src" "DstDir=$dst"
check "  at all" [ ! -s "$work/err" ] && [ ! -s "$work/out" ]

if [ -n "$build" ]; then
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    check "installed program runs" [ "$("$work/prefix/bin/twinfold" --version)" = "twinfold $version" ]
    check "installed manual page carries the version" zgrep -q "twinfold $version" "$work/prefix/share/man/man1/twinfold.1.gz"
fi
echo "linux cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
