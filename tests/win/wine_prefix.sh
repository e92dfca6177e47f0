# Sourced by the Wine scripts: makes the private prefix in $WINEPREFIX (already exported) look as a
# Windows desktop does, so that what the tests measure and the pictures show is what a user sees.
#   prepare_wine_prefix        once, after the prefix is made
#   set_wine_dpi DPI           before the programs that should run at that scale (96: 100 %, 144: 150 %)
#   stop_wine                  ends every program of the prefix and its server

# Wine looks for its own fonts (Debian's fonts-wine) only in the prefix's font folder. Without them
# the close box is drawn from a stand-in for Marlett (an "r") and the dialog's text in a wider font.
# Windows draws this dialog in Tahoma (MS Shell Dlg 2). Wine's own Tahoma has glyph widths of its
# own and cuts "Current Progress" by 3 pixels at 100 %, and "Dst Dir" and "Current Progress" by one
# at 150 % (measured with the layout scenario of tests/win/ui_driver.cpp). So the dialog is drawn in
# Wine's MS Sans Serif, the face of the classic MS Shell Dlg, which shows every label whole at both.
prepare_wine_prefix() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts" key
  mkdir -p "$fonts"
  cp /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon "$fonts/" || return 1
  for key in "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v "$key" /t REG_SZ \
      /d "MS Sans Serif" /f >/dev/null 2>&1 || return 1
  done
  # Wine draws the title bars itself, as Windows does, rather than leaving them to a window manager
  # (the virtual display has none).
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1 || return 1
  wineserver -w
}

set_wine_dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1 || return 1
  # Read when the prefix starts: running programs of the prefix must end first.
  stop_wine
}

# Ends the programs of the prefix and its server, and waits until the server has gone: a server
# left running keeps its folder's files open and outlives the prefix it serves.
stop_wine() {
  wineserver -k 2>/dev/null
  timeout 60 wineserver -w 2>/dev/null
  return 0
}
