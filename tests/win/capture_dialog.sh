#!/usr/bin/env bash
# Takes the picture of the dialog that the README shows, under Wine on a virtual display.
# Usage: tests/win/capture_dialog.sh BUILD_DIR OUTPUT.png
set -eu

build=$(cd "${1:?usage: $0 BUILD_DIR OUTPUT.png}" && pwd)
output=$(realpath -m "${2:?usage: $0 BUILD_DIR OUTPUT.png}")
work=$(mktemp -d /tmp/twinfold-shot.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT

wineboot -i >/dev/null 2>&1
mkdir -p "$work/Twinfold"
cp "$build/Twinfold.exe" "$work/Twinfold/"
# Folders as a user might have stored them, rather than the scratch folder's name.
printf '[Directories]\r\nSrc=C:\\Users\\Public\\Documents\r\nDst=D:\\Backup\\Documents\r\n[Options]\r\nDeleteFromDstIfNoExistInSrc=1\r\n' \
  >"$work/Twinfold/Twinfold.ini"

export work output
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  cd "$work/Twinfold"
  wine explorer /desktop=Twinfold,800x600 Twinfold.exe &
  for _ in $(seq 50); do
    geometry=$(xwininfo -root -tree | grep "\"Clone Directory\"" | grep -o "[0-9]*x[0-9]*+[0-9]*+[0-9]*" | head -1)
    [[ -n "$geometry" ]] && break
    sleep 0.2
  done
  [[ -n "$geometry" ]] || { echo "the dialog did not appear" >&2; exit 1; }
  sleep 1
  import -window root -crop "$geometry" +repage "$output"
'
echo "wrote $output"
