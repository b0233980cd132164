#!/usr/bin/env bash
# Renders the screens of the Windows OstranUpdater.exe under Wine into
# docs/screenshots/windows-*.png: the three wizard pages, the update dialog
# Ready, Running (at 50%), Done and Failed (the projector leaving the bus
# during the download) with its message box, details shown, and the About
# box. Real runs against tz4817-emu, on
# a virtual display (xvfb-run) with a fresh Wine prefix (tools/wine-gui.sh).
#
# Usage: bash tools/render-screenshots-windows.sh
# Builds what it needs: OstranUpdater.exe and window_probe.exe (windows
# preset), tz4817-emu (default preset). Takes about two minutes.

# SPDX-License-Identifier: MIT
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
if [ -z "${QRV_SCREENSHOTS_DISPLAY:-}" ]; then
  bash tools/setup-deps.sh windows
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target OstranUpdater window_probe
  cmake --preset default >/dev/null
  cmake --build --preset default --target tz4817-emu
  exec env QRV_SCREENSHOTS_DISPLAY=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

linux=$repo/build/bin
windows=$repo/build-windows/bin
out=$repo/docs/screenshots
work=$repo/build-windows/screenshots
source tools/emulator.sh
source tools/wine-gui.sh
rm -rf "$work"
mkdir -p "$work" "$out"
trap 'emulator_stop; [ -n "$updater_pid" ] && kill "$updater_pid" 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
wine_gui_prefix "$work/prefix"

# shot TITLE NAME: the window with its caption drawn active (there is no
# window manager to activate a window, and Wine leaves the wizard's caption
# drawn inactive) into docs/screenshots/windows-NAME.png.
shot() {
  probe send "$1" 0x0086 1 >/dev/null  # WM_NCACTIVATE
  sleep 0.3
  screenshot "$1" "$out/windows-$2.png"
  echo "render-screenshots-windows: windows-$2.png"
}

# run NAME EMULATOR-OPTIONS...: the emulator and the program, through the
# wizard to the update dialog's Update button pressed.
run() {
  local dir=$work/$1
  shift
  mkdir -p "$dir"
  "$linux/tz4817-emu" --make-image "$dir/tz4817.img"
  emulator_start "$dir/emulator.log" 30 "$linux/tz4817-emu" --listen 127.0.0.1:0 --flash "$dir/flash.bin" \
    --reboot-ms 300 "$@"
  QRV_USBIP=$emulator_address start_updater "$dir" "$dir/updater.log"
}

page() { echo "$kUpdateTitle - Page $1"; }

run done
probe wait-window "$(page 1)" 30
shot "$(page 1)" wizard-page1
probe click "$(page 1)" 0x3024 && probe wait-window "$(page 2)"
shot "$(page 2)" wizard-page2
probe click "$(page 2)" 0x3024 && probe wait-window "$(page 4)"
shot "$(page 4)" wizard-page4
probe click "$(page 4)" 0x3025 && probe wait-window "$kUpdateTitle"
shot "$kUpdateTitle" update-ready
probe post "$kUpdateTitle" 0x0112 0x0010 && probe wait-window "About OstranUpdater"
shot "About OstranUpdater" about
probe click "About OstranUpdater" 1 && probe wait-gone "About OstranUpdater"
probe click "$kUpdateTitle" 1044
probe wait "$kUpdateTitle" 1042 check 1 120
probe wait "$kUpdateTitle" 1036 text 50% 120
shot "$kUpdateTitle" update-running
probe wait "$kUpdateTitle" 1044 enabled 1 120
shot "$kUpdateTitle" update-done
probe click "$kUpdateTitle" 1044
wait "$updater_pid" || true
updater_pid=
emulator_stop

# Frame 28000 is three quarters into the download of the 2 MB image.
run failed --fault leave@28000
walk_wizard
probe click "$kUpdateTitle" 1044
probe wait-window OstranUpdater 180
probe click OstranUpdater 3
shot OstranUpdater message
probe click OstranUpdater 1
probe wait "$kUpdateTitle" 1044 enabled 1
shot "$kUpdateTitle" update-failed
probe click "$kUpdateTitle" 1044
wait "$updater_pid" || true
updater_pid=
