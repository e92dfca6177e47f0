#!/usr/bin/env bash
# End-to-end checks on a file system that ignores case, as a USB stick's vfat or exFAT does (a small
# FUSE file system of the tests): a folder or file renamed only in case, with the file system on the
# destination's side and on the source's, and two source names that such a destination takes for one.
#   casefold_test.sh path/to/twinfold path/to/casefold_fs
set -u
bin=${1:?usage: casefold_test.sh path/to/twinfold path/to/casefold_fs}
fs=${2:?usage: casefold_test.sh path/to/twinfold path/to/casefold_fs}
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-casefold.XXXXXX")
mounted=
cleanup() {
    [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/e2e_support.sh"

# Mounts a case-insensitive view of $work/backing at $work/view; the reason it cannot, otherwise.
mount_view() {
    mkdir -p "$work/backing" "$work/view"
    [ -c /dev/fuse ] || { echo "no /dev/fuse"; return 1; }
    "$fs" "$work/backing" "$work/view" >/dev/null 2>"$work/fs.log" &
    for _ in $(seq 1 100); do
        grep -q " $work/view " /proc/mounts && { mounted=$work/view; return 0; }
        sleep 0.05
    done
    echo "the FUSE file system did not mount: $(cat "$work/fs.log")"
    return 1
}
if ! reason=$(mount_view); then
    echo "SKIP: $reason"
    echo "0 passed, 0 failed"
    exit 0
fi
mounted=$work/view
view=$work/view backing=$work/backing
# The names, kinds and contents of a tree, exactly (case included).
listing() { (cd "$1" && find . -printf '%P %y\n' | LC_ALL=C sort && find . -type f -exec md5sum {} + | LC_ALL=C sort); }
same_tree() { [ "$(listing "$1")" = "$(listing "$2")" ] || { diff <(listing "$1") <(listing "$2") | head -5 >&2; return 1; }; }

# The destination ignores case: a rename in the source renames its mirror, nothing is lost.
src=$work/src dst=$view/mirror
mkdir -p "$src/photos/2026" && echo jpeg >"$src/photos/2026/a.jpg" && echo notes >"$src/Readme.txt"
check "destination ignores case: first mirror" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"
mv "$src/photos" "$src/Photos" && mv "$src/Readme.txt" "$src/README.txt" && mv "$src/Photos/2026" "$src/Photos/Year2026"
check "destination ignores case: renamed folder and file" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"
check "destination ignores case: the mirror holds the source's names" same_tree "$src" "$backing/mirror"
mv "$src/Photos" "$src/PHOTOS.old" && mv "$src/PHOTOS.old" "$src/photos"  # and back to lower case
check "destination ignores case: renamed back" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"
check "destination ignores case: the names again" same_tree "$src" "$backing/mirror"
check "destination ignores case: a run with nothing to do" expect_exit 0 unattended "SrcDir=$src" "DstDir=$dst"

# The source ignores case: the old spelling does not stay beside the new one in the mirror.
mkdir -p "$backing/stick/docs" && echo letter >"$backing/stick/docs/letter.txt" && echo x >"$backing/stick/Todo.txt"
dst=$work/from-stick
check "source ignores case: first mirror" expect_exit 0 unattended "SrcDir=$view/stick" "DstDir=$dst"
mv "$backing/stick/docs" "$backing/stick/Docs" && mv "$backing/stick/Todo.txt" "$backing/stick/TODO.txt"
check "source ignores case: renamed folder and file" expect_exit 0 unattended "SrcDir=$view/stick" "DstDir=$dst"
check "source ignores case: the mirror holds the source's names only" same_tree "$backing/stick" "$dst"

# Two source names that the destination takes for one: refused, never mixed.
src=$work/twins dst=$view/twins
mkdir -p "$src" && echo AAAA >"$src/Notes.txt" && echo bb >"$src/notes.txt"
check "twins: refused" expect_exit 1 unattended "SrcDir=$src" "DstDir=$dst"
check "twins: the reason" grep -q "takes 'notes.txt' and 'Notes.txt' for one name\|takes 'Notes.txt' and 'notes.txt' for one name" "$work/err"
held=$(ls "$backing/twins")
check "twins: the one copy made holds its own source's content" cmp -s "$backing/twins/$held" "$src/$held"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
