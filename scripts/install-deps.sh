#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
#   install-deps.sh            what the native program needs
#   install-deps.sh --release  also the Windows cross-compiler, the tools that draw the icon, and
#                              those that make the Linux package (scripts/release.sh)
#   install-deps.sh --tests    all of that, GoogleTest, clang for the fuzz targets, Wine with its
#                              fonts, a virtual display, debootstrap and lintian for the package's checks,
#                              git (a repository is one of the trees the tests mirror), and FUSE
#                              for a file system that ignores case
set -euo pipefail
packages=(g++ cmake make)
release=(g++-mingw-w64-x86-64-posix librsvg2-bin icoutils dpkg-dev file)
case "${1:-}" in
    --release) packages+=("${release[@]}") ;;
    --tests) packages+=("${release[@]}" libgtest-dev clang libclang-rt-14-dev wine wine64 fonts-wine xvfb xauth
                        debootstrap lintian git pkg-config libfuse3-dev fuse3) ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
