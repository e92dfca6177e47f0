#!/usr/bin/env bash
# Checks what scripts/release.sh made, as a user will get it:
#   - SHA256SUMS matches both files;
#   - the zip holds Twinfold.exe and README.txt in one folder; the exe is a stripped 64-bit GUI
#     program whose resources hold the version, the product name, the icon in every size, and a
#     manifest with DPI awareness, common controls 6, the supported Windows versions and long paths;
#   - the .deb holds the stripped program, its manual page, copyright and changelog, names the
#     project's version and its libc dependency, and lintian finds no error or warning in it;
#   - the .deb installs with dpkg -i into a clean Debian made by debootstrap (the machine's own
#     release, minimal variant), where the program runs a mirror, and is removed without a trace.
# The clean root needs root (or sudo) and Debian's archive; it takes about 45 s, most of it
# debootstrap's download.
#
#   check_release.sh DIST_FOLDER
set -u
dist=$(cd "${1:?usage: check_release.sh DIST_FOLDER}" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(Twinfold VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
zip=$dist/Twinfold-$version-win64.zip deb=$dist/twinfold_${version}_amd64.deb
work=$(mktemp -d "${TMPDIR:-/tmp}/twinfold-release.XXXXXX")
root=$work/root
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
cleanup() {
    mountpoint -q "$root/proc" 2>/dev/null && $sudo umount -l "$root/proc"
    $sudo rm -rf --one-file-system "$work"
}
trap cleanup EXIT

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what" >&2; fi
}
has() { grep -qF -- "$2" <<<"$1"; }  # has TEXT PART
quiet() { "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log" >&2; return 1; }; }  # output only on failure

echo "== checksums"
check "SHA256SUMS names both files" [ "$(awk '{print $2}' "$dist/SHA256SUMS" 2>/dev/null | sort | tr '\n' ' ')" = \
    "Twinfold-$version-win64.zip twinfold_${version}_amd64.deb " ]
check "SHA256SUMS matches" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' sh "$dist"

echo "== the Windows zip"
mkdir -p "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
check "the zip holds the program and its readme in one folder" [ "$(cd "$work/zip" && find . -type f | sort | tr '\n' ' ')" = \
    "./Twinfold-$version-win64/README.txt ./Twinfold-$version-win64/Twinfold.exe " ]
exe=$work/zip/Twinfold-$version-win64/Twinfold.exe
check "Twinfold.exe is a 64-bit Windows GUI program" has "$(file -b "$exe")" "PE32+ executable (GUI) x86-64"
check "Twinfold.exe carries no debug information" bash -c '! x86_64-w64-mingw32-objdump -h "$1" | grep -q "\.debug"' sh "$exe"
check "Twinfold.exe is small (under 2 MiB)" [ "$(stat -c %s "$exe")" -lt $((2 << 20)) ]
resources=$(wrestool -l "$exe")
check "resources: a version" has "$resources" "[type=version"
check "resources: an icon group" has "$resources" "[type=group_icon"
check "resources: the dialog" has "$resources" "--type=5 --name=101"
# The version resource's texts are UTF-16, each name followed by its value.
strings=$(wrestool -x --raw --type=version "$exe" | iconv -c -f UTF-16LE -t UTF-8 | tr -c '[:print:]' '\n' | grep -v '^$')
value() { grep -A1 -x "$1" <<<"$strings" | sed -n 2p; }
check "version resource: product name" [ "$(value ProductName)" = Twinfold ]
check "version resource: file version $version" [ "$(value FileVersion)" = "$version" ]
check "version resource: product version $version" [ "$(value ProductVersion)" = "$version" ]
check "version resource: copyright" has "$(value LegalCopyright)" "Copyright"
wrestool -x --type=group_icon "$exe" >"$work/twinfold.ico"
icons=$(icotool -l "$work/twinfold.ico")
for size in 16 20 24 32 40 48 64 256; do
    check "icon: a $size-pixel image" has "$icons" "--width=$size --height=$size "
done
manifest=$(wrestool -x --raw --type=24 "$exe")
for setting in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' '>PerMonitorV2, PerMonitor</dpiAwareness>' \
    '>true/pm</dpiAware>' '>true</longPathAware>' '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' \
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' 'level="asInvoker"'; do
    check "manifest: $setting" has "$manifest" "$setting"
done

echo "== the Linux package"
contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/bin/twinfold ./usr/share/man/man1/twinfold.1.gz ./usr/share/doc/twinfold/copyright \
    ./usr/share/doc/twinfold/changelog.gz; do
    check "the package holds $path" has "$contents" "$path"
done
check "package: name and version" [ "$(dpkg-deb --show "$deb")" = "twinfold	$version" ]
check "package: its libc dependency, found by dpkg-shlibdeps" has "$(dpkg-deb --field "$deb" Depends)" "libc6 (>="
dpkg-deb -x "$deb" "$work/deb"
check "the packaged program is stripped" has "$(file -b "$work/deb/usr/bin/twinfold")" ", stripped"
check "the packaged manual page carries the version" bash -c 'zcat "$1" | grep -q "twinfold $2"' sh \
    "$work/deb/usr/share/man/man1/twinfold.1.gz" "$version"
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
check "lintian: no error or warning" [ $? -eq 0 ]
grep -E '^[EW]:' "$work/lintian.log" >&2

echo "== the package in a clean Debian"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
started=$(date +%s)
if $sudo debootstrap --variant=minbase "$codename" "$root" >"$work/debootstrap.log" 2>&1; then
    echo "debootstrap $codename: $(($(date +%s) - started)) s"
    $sudo mount -t proc proc "$root/proc"  # the program reads the mount table to place its folders
    $sudo cp "$deb" "$root/tmp/"
    in_root() { $sudo chroot "$root" "$@"; }
    check "dpkg -i in a clean root" quiet in_root dpkg -i "/tmp/$(basename "$deb")"
    check "the installed program runs" [ "$(in_root twinfold --version)" = "twinfold $version" ]
    check "its manual page is where man looks" in_root test -s /usr/share/man/man1/twinfold.1.gz
    in_root sh -c 'mkdir -p /tmp/s/sub /tmp/d/extra && echo a >/tmp/s/a && echo b >/tmp/s/sub/b'
    check "the installed program mirrors" in_root sh -c 'twinfold unattended SrcDir=/tmp/s DstDir=/tmp/d && diff -r /tmp/s /tmp/d'
    check "dpkg -r removes it" quiet in_root dpkg -r twinfold
    check "nothing of it is left" in_root sh -c '! test -e /usr/bin/twinfold && ! test -e /usr/share/doc/twinfold'
else
    tail -5 "$work/debootstrap.log" >&2
    check "debootstrap made a clean root" false
fi

echo "release: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
