#!/usr/bin/env bash
# Builds both programs for release, optimised and stripped, and writes into dist/:
#   Twinfold-<version>-win64.zip    Twinfold.exe and a short README.txt
#   twinfold_<version>_amd64.deb    the Linux program with its manual page
#   SHA256SUMS                      the checksums of both, for `sha256sum -c SHA256SUMS`
# Installs what it needs first. Usage: scripts/release.sh [OUTPUT_FOLDER]   (default: dist)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dist=$(realpath -m "${1:-$top/dist}")
"$top/scripts/install-deps.sh" --release
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

cd "$top"
# Each workflow configures, builds and packages one program (CMakePresets.json).
for preset in release release-mingw; do
    echo "== $preset"
    rm -rf "build-$preset/packages"
    mkdir -p "build-$preset"
    cmake --workflow --preset "$preset" >"build-$preset/release.log" 2>&1 || { tail -30 "build-$preset/release.log"; exit 1; }
done

version=$(sed -n 's/^project(Twinfold VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=Twinfold-$version-win64.zip deb=twinfold_${version}_amd64.deb
mkdir -p "$dist"
rm -f "$dist/$zip" "$dist/$deb" "$dist/SHA256SUMS"
cp "build-release-mingw/packages/$zip" "build-release/packages/$deb" "$dist/"
(cd "$dist" && sha256sum "$zip" "$deb" >SHA256SUMS)
ls -l "$dist/$zip" "$dist/$deb" "$dist/SHA256SUMS" | awk '{print $5, $9}'
