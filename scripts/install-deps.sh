#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
#   install-deps.sh            what the native program needs
#   install-deps.sh --tests    also GoogleTest, the Windows cross-compiler with the tools that draw the
#                              icon, Wine with its fonts, and a virtual display
set -euo pipefail
packages=(g++ cmake make)
if [ "${1:-}" = "--tests" ]; then
    packages+=(libgtest-dev clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix librsvg2-bin icoutils wine wine64
               fonts-wine xvfb xauth)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
