#!/usr/bin/env bash
# The Windows OstranUpdater.exe under Wine, driven and read by control id
# (window_probe.exe) on a virtual display: the part of tools/test-windows.sh
# that needs windows, run by it inside xvfb-run with a fresh Wine prefix.
#
#   1. --version and --help answered on a redirected standard output, bad
#      usage with status 2; the version resource; without an image, the file
#      dialog, whose Cancel ends the program;
#   2. the whole program updates the Linux tz4817-emu: the three pages in
#      turn (and back once), the update dialog, its About box, the update
#      with its stages checked in order, the byte count and 100%, the close
#      box, Escape and a shutdown refused while it runs, Finish with status 0; the flash
#      equals the image from 0x4000, the boot sector untouched;
#   3. an image given as PATH in a folder the ANSI code page cannot spell,
#      its length shown; a USB/IP server that refuses the import: the message box with the
#      reason in its details, the dialog in its failed state, Finish;
#   4. the close box of the wizard ends the program with status 0.
#
# Usage (inside xvfb-run): bash tools/test-windows-gui.sh WORK_DIR
# Needs build-windows/bin (OstranUpdater.exe, window_probe.exe) and
# build/bin (tz4817-emu, refusing-usbip-server). Prints PASS:/FAIL: lines;
# exit status 0 only when all passed.

# SPDX-License-Identifier: MIT
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$1
linux=$repo/build/bin
windows=$repo/build-windows/bin
source "$repo/tools/emulator.sh"
source "$repo/tools/wine-gui.sh"

failed=0
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failed=1
}
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  [ -n "$updater_pid" ] && kill "$updater_pid" 2>/dev/null
  emulator_stop
  [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
}
trap finish EXIT

# wait_updater SECONDS: the updater's exit status, or 124 (and it is killed)
# when it has not ended in time.
wait_updater() {
  local tries=$(($1 * 10)) status=0 late=0
  while [ $tries -gt 0 ] && kill -0 "$updater_pid" 2>/dev/null; do
    sleep 0.1
    tries=$((tries - 1))
  done
  if kill -0 "$updater_pid" 2>/dev/null; then
    kill "$updater_pid"
    late=1
  fi
  wait "$updater_pid" || status=$?
  updater_pid=
  [ $late -eq 0 ] || status=124
  return $status
}

began=$(date +%s)
wine_gui_prefix "$work/prefix"
echo "windows-gui: fresh Wine prefix: $(($(date +%s) - began)) s"

# --- 1. the answers without windows -------------------------------------------------
mkdir -p "$work/startup"
(cd "$work/startup" && wine "$windows/OstranUpdater.exe" --version >version.out 2>&1)
check "OstranUpdater.exe --version: $(tr -d '\r' <"$work/startup/version.out")" \
  [ "$(tr -d '\r' <"$work/startup/version.out")" = "OstranUpdater $(sed -n 's/^project(.*VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")" ]
(cd "$work/startup" && wine "$windows/OstranUpdater.exe" --help >help.out 2>&1)
check "OstranUpdater.exe --help prints the usage" grep -q '^Usage: OstranUpdater \[PATH\]' "$work/startup/help.out"
status=0
(cd "$work/startup" && wine "$windows/OstranUpdater.exe" --frobnicate >usage.out 2>usage.err) || status=$?
check "OstranUpdater.exe --frobnicate: status $status, $(tr -d '\r' <"$work/startup/usage.err")" \
  [ $status -eq 2 -a "$(tr -d '\r' <"$work/startup/usage.err")" = "OstranUpdater: unknown option '--frobnicate' (see --help)" ]

version_resource() {
  local expected
  expected=$(printf '%s\n' "Translation=0409 1200" "CompanyName=" "FileDescription=OstranUpdater MFC Application" \
    "FileVersion=1, 0, 0, 1" "InternalName=OstranUpdater" "LegalTrademarks=" "OriginalFilename=OstranUpdater.EXE" \
    "ProductName=OstranUpdater Application" "ProductVersion=1, 0, 0, 1" "FILEVERSION=1,0,0,1")
  [ "$(probe version "Z:${windows//\//\\}\\OstranUpdater.exe" | tr -d '\r')" = "$expected" ]
}

# Without PATH and without tz4817.img in the working folder, the file
# dialog asks; Cancel ends the program.
file_dialog_cancel() {
  start_updater "$work/startup" "$work/startup/chooser.log"
  probe wait-window "Open the firmware image (tz4817.img)" 30 &&
    probe click "Open the firmware image (tz4817.img)" 2 && wait_updater 20
}
check "OstranUpdater.exe's version resource: 1.0.0.1, US English, its descriptions" version_resource
check "no image: the file dialog asks for one in the working folder; Cancel ends the program with status 0" \
  file_dialog_cancel

page1="$kUpdateTitle - Page 1" page2="$kUpdateTitle - Page 2" page4="$kUpdateTitle - Page 4"
dialog=$kUpdateTitle

page1_first() {
  probe wait-window "$page1" 30 && probe wait "$page1" 0x3023 visible 0 && probe wait "$page1" 9 visible 0 &&
    probe wait "$page1" 0x3024 enabled 1
}
page2_next() { probe click "$page1" 0x3024 && probe wait-window "$page2" && probe wait "$page2" 0x3023 visible 1; }
page4_next() {
  probe click "$page2" 0x3024 && probe wait-window "$page4" && probe wait "$page4" 0x3025 text "Next >" &&
    probe wait "$page4" 0x3025 visible 1 && probe wait "$page4" 0x3024 visible 0 && probe wait "$page4" 0x3023 visible 1
}
page2_back() {
  probe click "$page4" 0x3023 && probe wait-window "$page2" && probe wait "$page2" 0x3023 visible 0 &&
    probe wait "$page2" 0x3024 visible 1 && probe wait "$page2" 0x3025 visible 0 &&
    probe click "$page2" 0x3024 && probe wait-window "$page4" && probe wait "$page4" 0x3023 visible 1
}
dialog_ready() {
  probe click "$page4" 0x3025 && probe wait-window "$dialog" 10 && probe wait "$dialog" 1031 text 2097152 &&
    probe wait "$dialog" 1044 text Update && probe wait "$dialog" 1044 enabled 1 &&
    probe wait "$dialog" 1038 enabled 0 && probe wait "$dialog" 1041 check 0
}
about_box() {
  probe post "$dialog" 0x0112 0x0010 && probe wait-window "About OstranUpdater" &&
    probe controls "About OstranUpdater" | grep -qF '"OstranUpdater Version 1.0"' &&
    probe click "About OstranUpdater" 1 && probe wait-gone "About OstranUpdater"
}
# The first line in $changes that ends in $1.
first() { grep -n -m 1 -- " $1\$" "$changes" | cut -d: -f1; }
stages_in_order() {
  local one two three
  one=$(first "1041 check 1") two=$(first "1042 check 1") three=$(first "1043 check 1")
  [ -n "$one" ] && [ -n "$two" ] && [ -n "$three" ] && [ "$one" -lt "$two" ] && [ "$two" -lt "$three" ]
}
progress_shown() {
  grep -Eq " 1036 text ([1-9]|[1-9][0-9])%$" "$changes" && grep -q " 1034 text 2097152$" "$changes" &&
    grep -q " 1036 text 100%$" "$changes" && grep -q " 1030 pos 100$" "$changes"
}
done_state() {
  probe wait "$dialog" 1037 text "Update is Done!  Press Finish Button to close window." &&
    probe wait "$dialog" 1044 text Finish && ! grep -q "Update Failed" "$changes"
}
failure_box() {
  probe controls OstranUpdater >"$box" && grep -qF '"Failed to initialize QRV USB\nTerminating Driver\n"' "$box" &&
    grep -qF '"Show Details..."' "$box" && probe wait OstranUpdater 4 visible 0 &&
    probe click OstranUpdater 3 && probe wait OstranUpdater 4 visible 1 &&
    probe wait OstranUpdater 3 text "Hide Details..." &&
    probe get OstranUpdater 4 text | grep -qF 'refused to import 1-1 (status 3: device error)'
}
failed_state() {
  probe wait "$dialog" 1037 text "Update Failed!  Press Finish Button to close window." &&
    probe wait "$dialog" 1044 text Finish && probe wait "$dialog" 1044 enabled 1 &&
    probe wait "$dialog" 1041 check 0 && probe wait "$dialog" 1036 text ""
}

# --- 2. a whole update of the emulated projector --------------------------------------
dir=$work/update
mkdir -p "$dir"
"$linux/tz4817-emu" --make-image "$dir/tz4817.img"
if emulator_start "$dir/emulator.log" 30 "$linux/tz4817-emu" --listen 127.0.0.1:0 --flash "$dir/flash.bin" \
  --reboot-ms 300; then
  cp "$dir/flash.bin" "$dir/factory.bin"
  began=$(date +%s)
  QRV_USBIP=$emulator_address start_updater "$dir" "$dir/updater.log"
  check "wizard: the title reads Page 1, Back and Help hidden, Next enabled" page1_first
  check "wizard: Next on Page 1 shows Page 2 with Back" page2_next
  check "wizard: Next on Page 2 shows Page 4, Finish reading \"Next >\" in Next's place" page4_next
  check "wizard: Back on Page 4 shows Page 2 without Back and without Finish; Next again" page2_back
  check "wizard: Finish (\"Next >\") on Page 4 opens the update dialog, Ready, the image's length shown" dialog_ready
  check "update dialog: the system menu's About command (0x0010) opens the About box, OK closes it" about_box
  probe click "$dialog" 1044
  probe wait "$dialog" 1037 text "Update in Progress"
  # Escape (IDCANCEL) and the close box (SC_CLOSE) while the update runs;
  # Windows asking whether it may end the session (WM_QUERYENDSESSION).
  probe post "$dialog" 0x0111 2
  probe post "$dialog" 0x0112 0xF060
  check "update: a shutdown or log-off is refused while the update runs" [ "$(probe send "$dialog" 0x0011 0 | tr -d '\r')" = 0 ]
  check "update dialog: WM_QUERYDRAGICON is answered with the icon" [ "$(probe send "$dialog" 0x0037 0 | tr -d '\r')" != 0 ]
  changes=$dir/changes
  probe watch "$dialog" 180 1044 enabled 1 | tr -d '\r' >"$changes"
  kill -0 "$emulator_pid" 2>/dev/null || echo "windows-gui: the emulator ended during the update: $(cat "$dir/emulator.log")"
  check "update: the three stages are checked in order" stages_in_order
  check "update: the byte count and the percentage go up to 2097152 and 100%" progress_shown
  check "update: Done, \"Finish\" enabled; Escape and the close box did nothing while it ran" done_state
  check "update: a shutdown is no longer refused once it has ended" [ "$(probe send "$dialog" 0x0011 0 | tr -d '\r')" = 1 ]
  probe click "$dialog" 1044
  status=0
  wait_updater 20 || status=$?
  emulator_stop
  echo "windows-gui: the update through the program: $(($(date +%s) - began)) s"
  check "update: Finish ends the program with status $status" [ $status -eq 0 ]
  check "update: the flash equals the image from 0x4000 on" cmp -s -i 16384 "$dir/flash.bin" "$dir/tz4817.img"
  check "update: the boot sector is untouched" cmp -s -n 16384 "$dir/flash.bin" "$dir/factory.bin"
else
  fail "update: the emulator did not start: $(cat "$dir/emulator.log")"
fi

# --- 3. a server that refuses the import ------------------------------------------
# The image is given as PATH, in a folder named in characters the ANSI code
# page lacks: the dialog shows its length all the same.
dir=$work/refused folder="固件 Ωμέγα"
mkdir -p "$dir/$folder"
"$linux/tz4817-emu" --make-image "$dir/$folder/tz4817.img"
"$linux/refusing-usbip-server" >"$dir/server.log" 2>&1 &
server_pid=$!
server=
for _ in $(seq 50); do
  server=$(sed -n 's/^listening on //p' "$dir/server.log")
  [ -n "$server" ] && break
  sleep 0.1
done
LC_ALL=C.UTF-8 QRV_USBIP=$server start_updater "$dir" "$dir/updater.log" "$folder"
box=$dir/box
if walk_wizard; then
  check "image in a folder the ANSI code page cannot spell: its length is shown" probe wait "$dialog" 1031 text 2097152
fi
if probe click "$dialog" 1044 && probe wait-window OstranUpdater 60; then
  check "refused import: the box says \"Failed to initialize QRV USB\"; Show Details shows the server's refusal" \
    failure_box
  probe click OstranUpdater 1
  check "refused import: the dialog fails (\"Update Failed!\", Finish enabled, stage 1 unchecked)" failed_state
  probe click "$dialog" 1044
else
  fail "refused import: no message box: $(cat "$dir/updater.log")"
fi
status=0
wait_updater 20 || status=$?
kill "$server_pid" 2>/dev/null
server_pid=
check "refused import: Finish ends the program with status $status" [ $status -eq 0 ]

# --- 4. the wizard's close box ----------------------------------------------------
start_updater "$work/refused" "$work/refused/cancel.log" "$folder"
probe wait-window "$page1" 30 && probe click "$page1" 0x3024 && probe wait-window "$page2" &&
  probe post "$page2" 0x0112 0xF060
status=0
wait_updater 20 || status=$?
check "wizard: the close box on Page 2 ends the program with status $status, no update dialog" [ $status -eq 0 ]

exit $failed
