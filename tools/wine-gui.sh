# Running the Windows OstranUpdater.exe under Wine on a virtual display, from
# the tools' scripts (sourced, not run; everything inside one xvfb-run, so
# that Wine's server always has the display):
#
#   wine_gui_prefix DIR
#       a fresh Wine prefix in DIR for programs with windows and no window
#       manager: no Mono or Gecko prompt and no Start-menu entries, captions
#       drawn by Wine itself (X11 Driver Decorated/Managed "N", so no waits
#       for a window manager), the fonts of fonts-wine (Tahoma, Marlett for
#       the caption buttons, MS Sans Serif). Exports WINEPREFIX and the rest.
#   probe ARGUMENTS...
#       the test build's window_probe.exe (its comment says what it does)
#   walk_wizard
#       Next, Next, Finish ("Next >") through the three instruction pages
#   screenshot TITLE FILE
#       the window titled TITLE (exactly) as a PNG file
#   start_updater DIR LOG ARGUMENTS...
#       OstranUpdater.exe started in DIR in the background (its standard
#       output and error in LOG); updater_pid is its process
#
# Needs `windows` (build-windows/bin) and `linux` (build/bin) set.

# SPDX-License-Identifier: MIT
kUpdateTitle="tz4817 Projector Update Program"
updater_pid=

wine_gui_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Decorated"="N"\n"Managed"="N"\n' \
    >"$WINEPREFIX/x11-driver.reg"
  wine regedit /S "Z:${WINEPREFIX//\//\\}\\x11-driver.reg"
  cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
  wineserver -w
}

probe() { wine "$windows/window_probe.exe" "$@"; }

walk_wizard() {
  probe wait-window "$kUpdateTitle - Page 1" 30 &&
    probe click "$kUpdateTitle - Page 1" 0x3024 &&
    probe wait-window "$kUpdateTitle - Page 2" &&
    probe click "$kUpdateTitle - Page 2" 0x3024 &&
    probe wait-window "$kUpdateTitle - Page 4" &&
    probe wait "$kUpdateTitle - Page 4" 0x3025 text "Next >" &&
    probe click "$kUpdateTitle - Page 4" 0x3025 &&
    probe wait-window "$kUpdateTitle" 10
}

screenshot() {
  local window
  window=$(xdotool search --onlyvisible --name "^$1\$" | head -n 1)
  [ -n "$window" ] && import -window "$window" "$2"
}

start_updater() {
  local dir=$1 log=$2
  shift 2
  (cd "$dir" && exec wine "$windows/OstranUpdater.exe" "$@") >"$log" 2>&1 &
  updater_pid=$!
}
