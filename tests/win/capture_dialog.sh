#!/usr/bin/env bash
# Takes the picture of the dialog that the README shows, under Wine on a virtual display, at the
# scale asked for (96 DPI: 100 %, 144 DPI: 150 %), with the fonts that tests/win/wine_prefix.sh sets up.
# Needs ImageMagick's import and x11-utils' xwininfo besides what run_wine_tests.sh needs.
# Usage: tests/win/capture_dialog.sh BUILD_DIR OUTPUT.png [DPI]
set -eu

build=$(cd "${1:?usage: $0 BUILD_DIR OUTPUT.png [DPI]}" && pwd)
output=$(realpath -m "${2:?usage: $0 BUILD_DIR OUTPUT.png [DPI]}")
dpi=${3:-96}
work=$(mktemp -d /tmp/twinfold-shot.XXXXXX)
# TMPDIR: the prefix's server keeps its socket under it (see run_wine_tests.sh); there it goes with $work.
export WINEPREFIX="$work/prefix" TMPDIR="$work" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/wine_prefix.sh"
trap 'stop_wine; rm -rf "$work"' EXIT

wineboot -i >/dev/null 2>&1
prepare_wine_prefix
set_wine_dpi "$dpi"
mkdir -p "$work/Twinfold"
cp "$build/Twinfold.exe" "$work/Twinfold/"
# Folders as a user might have stored them, rather than the scratch folder's name.
printf '[Directories]\r\nSrc=C:\\Users\\Public\\Documents\r\nDst=D:\\Backup\\Documents\r\n[Options]\r\nDeleteFromDstIfNoExistInSrc=1\r\n' \
  >"$work/Twinfold/Twinfold.ini"

export work output
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  cd "$work/Twinfold"
  wine explorer /desktop=Twinfold,1024x768 Twinfold.exe &
  # The first start of a prefix at a new scale builds its font cache: give it time.
  for _ in $(seq 150); do
    geometry=$(xwininfo -root -tree | grep "\"Clone Directory\"" | grep -o "[0-9]*x[0-9]*+[0-9]*+[0-9]*" | head -1)
    [[ -n "$geometry" ]] && break
    sleep 0.2
  done
  [[ -n "$geometry" ]] || { echo "the dialog did not appear" >&2; exit 1; }
  sleep 1
  import -window root -crop "$geometry" +repage "$output"
'
echo "wrote $output"
