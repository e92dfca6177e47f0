#!/usr/bin/env bash
# Mirrors the trees people have on Windows, under Wine, with Twinfold.exe and with the test build held
# to Windows' path limit and read-only rule (tests/Twinfold_limits.exe): deep folders, long and
# long-form roots, read-only files, a git repository, a drive's root, names that Windows' ordinary
# paths change, names that differ only in case, and a file held open by another program.
# Every run goes through twinfold_launch, which reports a crash instead of the 0 `wine` may give.
#
#   trees_test.sh BUILD_DIR        (a mingw build; WINEPREFIX must be set up)
set -u
build=$(cd "${1:?usage: trees_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-wine-trees.XXXXXX")
drive_link= own_server= holder= marker=
# On every way out, Ctrl-C included: the program holding a file lets go (a program in the background
# does not get the terminal's Ctrl-C), and a server these tests started is stopped.
cleanup() {
    if [[ -n "$holder" ]]; then
        rm -f "$marker"
        wait "$holder" 2>/dev/null
    fi
    [[ -n "$drive_link" ]] && rm -f "$drive_link"
    if [[ -n "$own_server" ]]; then
        wineserver -k 2>/dev/null
        timeout 60 wineserver -w 2>/dev/null
    fi
    chmod -R u+w "$work" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# Wine ends its program on Ctrl-C with an ordinary exit code, after which the shell would go on.
trap 'exit 130' INT
trap 'exit 143' TERM
passed=0 failed=0

winpath() { printf 'Z:%s' "${1//\//\\}"; }
check() {  # check DESCRIPTION COMMAND...: one named check
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $what"; fi
}
# One unattended run of EXE (a Linux path) with Windows texts for the folders; its exit code.
mirror() {  # mirror EXE SRC DST [NoDelete]
    (cd "$work" && wine "$build/tests/twinfold_launch.exe" "$(winpath "$1")" unattended "SrcDir=$2" "DstDir=$3" ${4:+"$4"}) \
        >"$work/last.log" 2>&1
}
code_is() {  # code_is EXPECTED ACTUAL
    [[ "$2" -eq "$1" ]] || { echo "    exit code $2, expected $1"; grep -m3 'twinfold_launch' "$work/last.log" | sed 's/^/    /'; return 1; }
}
exact() {  # exact SRC DST: the same tree, and no temporary entry left
    diff -r "$1" "$2" >/dev/null || { diff -r "$1" "$2" 2>&1 | head -5 | sed 's/^/    /'; return 1; }
    [[ -z "$(find "$2" -name '.twinfold-tmp-*' -print -quit)" ]] || { echo "    a temporary entry is left in $2"; return 1; }
}
# What a mirror promises where contents change but sizes do not (a git ref, say): the same names,
# kinds and sizes.
inventory() { (cd "$1" && find . \( -type f -printf '%P f %s\n' \) -o -printf '%P %y\n' | sort); }
same_sizes() { [[ "$(inventory "$1")" == "$(inventory "$2")" ]] || { diff <(inventory "$1") <(inventory "$2") | head -5 | sed 's/^/    /'; return 1; }; }
no_leftover() { [[ -z "$(find "$1" -name '.twinfold-tmp-*' -print -quit)" ]]; }
# A folder name of exactly 40 characters.
name40() { printf '%s_%0*d' "$1" $((39 - ${#1})) 0; }

plain=$build/Twinfold.exe
limits=$build/tests/Twinfold_limits.exe
# One wineserver kept for all runs: starts are quicker. It stays until it is stopped, so the one
# started here is stopped at the end.
wineserver -p 2>/dev/null && own_server=1

for exe in "$plain" "$limits"; do
    tag=$(basename "$exe" .exe)
    base=$work/$tag
    mkdir -p "$base"

    echo "== $tag: 12 nested folders of 40-character names"
    src=$base/deep/src dst=$base/deep/dst
    path=$src
    for level in $(seq 1 12); do
        path=$path/$(name40 "level$level")
        mkdir -p "$path"
        if ((level % 3 == 0)); then head -c $((level * 100)) /dev/urandom >"$path/file$level.bin"; fi
    done
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    check "$tag deep: first mirror" code_is 0 $code
    check "$tag deep: first mirror is exact" exact "$src" "$dst"
    deepest=${path#"$src"}
    head -c 2000 /dev/urandom >"$src$deepest/file12.bin"                   # changed
    echo new >"$src$(dirname "$deepest")/new.txt"                          # new
    echo extra >"$dst$(dirname "$deepest")/extra.txt"                      # extra file
    mkdir -p "$dst$deepest/extra folder/inner" && echo x >"$dst$deepest/extra folder/inner/x.txt"  # extra folder
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    check "$tag deep: changed, new and extra entries deep down" code_is 0 $code
    check "$tag deep: second mirror is exact" exact "$src" "$dst"

    echo "== $tag: roots typed in the long form"
    src=$base/verbatim/src dst=$base/verbatim/dst
    mkdir -p "$src/sub/inner" && echo a >"$src/sub/inner/a.txt" && echo b >"$src/b.txt"
    mirror "$exe" "\\\\?\\$(winpath "$src")" "\\\\?\\$(winpath "$dst")\\"; code=$?
    check "$tag long form: first mirror" code_is 0 $code
    check "$tag long form: exact, and nothing written anywhere else" exact "$src" "$dst"
    check "$tag long form: nothing in the current folder" test ! -e "$work/sub"
    echo more >"$src/sub/more.txt"; mkdir "$src/sub2" && echo c >"$src/sub2/c.txt"; rm "$src/b.txt"
    mirror "$exe" "\\\\?\\$(winpath "$src")" "\\\\?\\$(winpath "$dst")"; code=$?
    check "$tag long form: second mirror" code_is 0 $code
    check "$tag long form: second mirror is exact" exact "$src" "$dst"

    echo "== $tag: a source root longer than MAX_PATH, and a folder just short of it"
    src=$base/long
    for i in 1 2 3 4 5 6; do src=$src/$(name40 "root$i"); done
    dst=$base/long-dst
    mkdir -p "$src/docs" && echo report >"$src/docs/report.docx"
    # A folder whose own Windows path is 257 characters: its listing pattern is past the limit.
    near=$base/near/src
    name=$(printf 'n%0*d' $((257 - ${#near} - 3)) 0)
    mkdir -p "$near/$name" && echo inside >"$near/$name/inside.txt"
    for run in 1 2; do
        mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
        check "$tag long root: run $run" code_is 0 $code
        check "$tag long root: run $run kept every file the source has" exact "$src" "$dst"
        mirror "$exe" "$(winpath "$near")" "$(winpath "$base/near/dst")"; code=$?
        check "$tag folder of 257 characters: run $run" code_is 0 $code
        check "$tag folder of 257 characters: run $run is exact" exact "$near" "$base/near/dst"
    done

    echo "== $tag: read-only files"
    src=$base/readonly/src dst=$base/readonly/dst
    mkdir -p "$src" && echo version1 >"$src/locked.txt" && chmod 444 "$src/locked.txt"
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"
    mkdir -p "$dst/old" && echo x >"$dst/old/pack.idx" && echo y >"$dst/extra.txt"
    chmod 444 "$dst/old/pack.idx" "$dst/extra.txt"
    chmod u+w "$src/locked.txt" && echo "version 2, longer" >"$src/locked.txt" && chmod 444 "$src/locked.txt"
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    check "$tag read-only: a read-only file replaced and read-only extras deleted" code_is 0 $code
    check "$tag read-only: exact" exact "$src" "$dst"
    check "$tag read-only: the copy is read-only as its source" test "$(stat -c %a "$dst/locked.txt")" = 444

    if command -v git >/dev/null; then
        echo "== $tag: a git repository, committed, mirrored, repacked and mirrored again"
        src=$base/repo dst=$base/repo-mirror
        git init -q "$src" && git -C "$src" config user.email t@example.com && git -C "$src" config user.name Test
        for i in 1 2 3; do
            head -c $((i * 3000)) /dev/urandom >"$src/data$i.bin" && git -C "$src" add -A && git -C "$src" commit -qm "commit $i"
        done
        git -C "$src" gc -q --prune=now  # a pack of read-only files
        mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
        check "$tag git: first mirror" code_is 0 $code
        # The repack replaces the pack: the old read-only files are extras in a folder that stays.
        echo more >"$src/more.txt" && git -C "$src" add -A && git -C "$src" commit -qm "commit 4" && git -C "$src" repack -qad
        mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
        check "$tag git: mirror after the repack" code_is 0 $code
        check "$tag git: every file there with its size, and no other" same_sizes "$src" "$dst"
        check "$tag git: the mirror is a sound repository" git -C "$dst" fsck --no-progress
    fi

    echo "== $tag: names that the ordinary form of a path changes"
    src=$base/names/src dst=$base/names/dst
    mkdir -p "$src/folder." "$src/missing"
    echo plain >"$src/notes"; echo dot >"$src/notes."; echo space >"$src/trail "; echo device >"$src/con.txt"
    echo device >"$src/NUL"; echo inside >"$src/folder./a."; echo deep >"$src/missing/aux.txt"
    mkdir -p "$dst" && echo plain >"$dst/notes"
    for run in 1 2; do
        mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
        check "$tag names: run $run" code_is 0 $code
        check "$tag names: run $run is exact" exact "$src" "$dst"
    done

    echo "== $tag: names that differ only in case"
    src=$base/twins/src dst=$base/twins/dst
    mkdir -p "$src/both" && echo AAAA >"$src/Notes.txt" && echo bb >"$src/notes.txt"
    echo one >"$src/both/Read.me" && echo other >"$src/both/read.ME"
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    check "$tag twins: refused" code_is 1 $code
    mixed=
    for file in "$dst"/*.txt; do [[ -e "$file" ]] && ! cmp -s "$file" "$src/$(basename "$file")" && mixed=$file; done
    check "$tag twins: no copy holds the other twin's content" test -z "$mixed"
    check "$tag twins: the folder with twins never landed" test ! -e "$dst/both"
    check "$tag twins: no temporary entry" no_leftover "$dst"

    echo "== $tag: a folder and a file renamed only in case"
    src=$base/recased/src dst=$base/recased/dst
    mkdir -p "$src/photos/2026" && echo jpeg >"$src/photos/2026/a.jpg" && echo notes >"$src/Readme.txt"
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"
    mv "$src/photos" "$src/Photos" && mv "$src/Readme.txt" "$src/README.txt"
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    check "$tag renamed in case: mirrored" code_is 0 $code
    check "$tag renamed in case: the mirror holds the new names, nothing lost" exact "$src" "$dst"

    echo "== $tag: a file held open inside a missing folder"
    src=$base/held/src dst=$base/held/dst
    mkdir -p "$src/folder" "$dst" && echo a >"$src/folder/a.txt" && echo busy >"$src/folder/busy.txt"
    marker=$base/held/marker
    (cd "$work" && wine "$build/tests/twinfold_hold.exe" "$(winpath "$src/folder/busy.txt")" "$(winpath "$marker")") &
    holder=$!
    for _ in $(seq 1 600); do [[ -e "$marker" ]] && break; sleep 0.05; done
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    rm -f "$marker"; wait "$holder"; holder=
    check "$tag held file: the run fails" code_is 1 $code
    check "$tag held file: no incomplete folder under its real name" test ! -e "$dst/folder"
    check "$tag held file: no temporary entry" no_leftover "$dst"
    mirror "$exe" "$(winpath "$src")" "$(winpath "$dst")"; code=$?
    check "$tag held file: once let go, the mirror completes" code_is 0 $code
    check "$tag held file: exact" exact "$src" "$dst"
done

echo "== a drive's root on either side"
drive=$work/drive
mkdir -p "$drive/System Volume Information" "$drive/\$Recycle.Bin/S-1-5-21" "$drive/data"
echo tracking >"$drive/System Volume Information/tracking.log"; echo deleted >"$drive/\$Recycle.Bin/S-1-5-21/old.doc"
echo a >"$drive/data/a.txt"; echo top >"$drive/top.txt"
for letter in m n o p q r s t u v w; do
    [[ -e "$WINEPREFIX/dosdevices/$letter:" ]] || { drive_link=$WINEPREFIX/dosdevices/$letter:; break; }
done
ln -s "$drive" "$drive_link"
root=${drive_link##*/}
root=${root^^}\\
mirror "$plain" "$root" "$(winpath "$work/from-drive")"; code=$?
check "drive as source: mirrored" code_is 0 $code
check "drive as source: its own folders are left out" test ! -e "$work/from-drive/System Volume Information" -a ! -e "$work/from-drive/\$Recycle.Bin"
check "drive as source: the rest is copied" diff -r "$drive/data" "$work/from-drive/data"
mkdir -p "$work/to-drive/new" && echo b >"$work/to-drive/new/b.txt"
mirror "$plain" "$(winpath "$work/to-drive")" "$root"; code=$?
check "drive as destination: mirrored" code_is 0 $code
check "drive as destination: its own folders are untouched" test -f "$drive/System Volume Information/tracking.log" -a -f "$drive/\$Recycle.Bin/S-1-5-21/old.doc"
check "drive as destination: extras deleted, the rest copied" test ! -e "$drive/data" -a ! -e "$drive/top.txt" -a -f "$drive/new/b.txt"

echo "wine-trees: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
