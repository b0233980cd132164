#!/usr/bin/env bash
# The Windows build and its checks, a step of its own in CI: cross-builds the
# windows preset with mingw-w64 and runs its tests (the DLLs export exactly
# the names of the Linux libraries), then runs the Windows programs under
# Wine against the Linux ones over USB/IP on the loopback interface:
#
#   1. the Windows tz4817-update.exe updates the Linux tz4817-emu;
#   2. the Linux tz4817-update updates the Windows tz4817-emu.exe;
#   3. the Windows OstranUpdater.exe, driven by control id on a virtual
#      display, updates the Linux tz4817-emu and fails on a server that
#      refuses the import (tools/test-windows-gui.sh, in xvfb-run with a
#      fresh Wine prefix of its own);
#   4. the Windows tz4817-update.exe on a console draws its progress line in
#      place (a pseudo-terminal, which Wine makes its console);
#
# side by side, each a full update (the program's of a 2 MB image, the
# console programs' of a 256 KB one: Wine makes every USB/IP round trip
# slow, and the program's update is the long one), the flash compared with
# the image afterwards (from 0x4000 on; the boot sector untouched). The two
# tz4817-update runs must print the same lines and end with status 0. While
# the program's runs go on, the Windows and the Linux tz4817-update are run
# side by side on failures that need no projector (bad usage, no image, an
# unreachable server): same statuses, same words. Then an image in a folder
# whose name the ANSI code page cannot spell, and two Windows updaters on one
# projector. Then the Windows local bus (SetupAPI, WinUSB) lists the
# projectors of a computer that has none, and the Windows tz4817-update.exe
# records an update (QRV_RECORD), tshark reads the recording, and the Linux
# emulator replays it to the Linux tz4817-update. Then the installer, in a
# prefix of its own; last, the program's results.
#
# Usage: bash tools/test-windows.sh
# Needs the Linux programs of the default preset (built here if missing).
# Ends with "N passed, M failed"; exit status 0 only when all passed.

# SPDX-License-Identifier: MIT
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
source tools/emulator.sh

bash tools/setup-deps.sh windows
bash tools/setup-deps.sh

start=$(date +%s)
echo "=== preset windows ==="
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows
cmake --preset default >/dev/null
cmake --build --preset default --target tz4817-emu tz4817-update refusing-usbip-server
echo "windows: cross build and exports tests: $(($(date +%s) - start)) s"

linux=$repo/build/bin
windows=$repo/build-windows/bin
work=$repo/build-windows/wine-runs
rm -rf "$work"
mkdir -p "$work"

finish() {
  # The updates' subshells stop their emulators as they end; the program's
  # runs stop theirs and their Wine server.
  [ -n "${update_pids:-}" ] && kill $update_pids 2>/dev/null && wait $update_pids 2>/dev/null
  wineserver -k 2>/dev/null || true
}
trap finish EXIT

# A prefix of its own in the build tree; no Mono or Gecko (console programs).
export WINEPREFIX=$repo/build-windows/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_start=$(date +%s)
wine "$windows/tz4817-update.exe" --version >/dev/null 2>"$work/prefix.log"
echo "windows: Wine ready (prefix $WINEPREFIX): $(($(date +%s) - wine_start)) s"

passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# The console updates write the first 256 KB of a demo image.
console_image=262144

# update NAME EMULATOR... -- UPDATER...: one full update of a 256 KB image
# against an emulated projector with a factory-fresh flash, run in a subshell of its own (the
# two updates run side by side); the updater's output in NAME/out and
# NAME/err (carriage returns of Windows taken out), the verdict in
# NAME/result.
update() (
  name=$1
  dir=$work/$1
  emulator=()
  shift
  while [ "$1" != -- ]; do emulator+=("$1"); shift; done
  shift
  mkdir -p "$dir"
  trap emulator_stop EXIT
  trap 'exit 143' TERM
  verdict() { echo "$*" >"$dir/result"; }

  "$linux/tz4817-emu" --make-image "$dir/tz4817.img"
  truncate -s $console_image "$dir/tz4817.img"
  if ! emulator_start "$dir/emulator.log" 30 \
    "${emulator[@]}" --listen 127.0.0.1:0 --flash "$dir/flash.bin" --reboot-ms 300; then
    verdict "FAIL: $name: the emulator did not start: $(cat "$dir/emulator.log")"
    exit
  fi
  cp "$dir/flash.bin" "$dir/factory.bin"
  began=$(date +%s)
  status=0
  (cd "$dir" && QRV_USBIP=$emulator_address "$@" --yes >out.raw 2>err.raw) || status=$?
  emulator_stop
  # The download library names the private copy of the image it reads,
  # which is a file of its own on each platform.
  tr -d '\r' <"$dir/out.raw" | sed -E 's/^File\[[^]]*\]/File[private copy]/' >"$dir/out"
  tr -d '\r' <"$dir/err.raw" >"$dir/err"
  echo "windows: $name: $(($(date +%s) - began)) s"
  if [ $status -ne 0 ]; then
    verdict "FAIL: $name: the updater ended with status $status: $(cat "$dir/out" "$dir/err")"
  elif ! cmp -s -i 16384 -n $((console_image - 16384)) "$dir/flash.bin" "$dir/tz4817.img"; then
    verdict "FAIL: $name: the flash differs from the image after 0x4000"
  elif ! cmp -s -n 16384 "$dir/flash.bin" "$dir/factory.bin"; then
    verdict "FAIL: $name: the boot sector was changed"
  else
    verdict "PASS: $name: status 0, the flash equals the image, the boot sector untouched"
  fi
)

# The Windows tz4817-update.exe on a console: a pseudo-terminal, which Wine
# makes the program's console (and draws with terminal control sequences of
# its own, taken out here). The progress line must be redrawn in place: some
# line of the screen holds two or more of its drawings.
terminal_update() (
  name=windows-console
  dir=$work/$name
  mkdir -p "$dir"
  trap emulator_stop EXIT
  trap 'exit 143' TERM
  verdict() { echo "$*" >"$dir/result"; }
  "$linux/tz4817-emu" --make-image "$dir/tz4817.img"
  truncate -s $console_image "$dir/tz4817.img"
  if ! emulator_start "$dir/emulator.log" 30 "$linux/tz4817-emu" --listen 127.0.0.1:0 --flash "$dir/flash.bin" \
    --reboot-ms 300; then
    verdict "FAIL: $name: the emulator did not start: $(cat "$dir/emulator.log")"
    exit
  fi
  status=0
  (cd "$dir" && QRV_USBIP=$emulator_address script -qfec "wine '$windows/tz4817-update.exe' --yes" screen.raw \
    >/dev/null 2>&1) || status=$?
  emulator_stop
  sed -E 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$dir/screen.raw" >"$dir/screen"
  if [ $status -ne 0 ]; then
    verdict "FAIL: $name: the updater ended with status $status: $(cat "$dir/screen")"
  elif ! awk '{ if (gsub(/\r  \[/, "&") >= 2) drawn++ } END { exit !drawn }' "$dir/screen" ||
    ! grep -q '^\[x\] Downloading upgrade image' "$dir/screen"; then
    verdict "FAIL: $name: the progress line is not drawn in place: $(cat -A "$dir/screen" | head -n 20)"
  elif ! cmp -s -i 16384 -n $((console_image - 16384)) "$dir/flash.bin" "$dir/tz4817.img"; then
    verdict "FAIL: $name: the flash differs from the image after 0x4000"
  else
    verdict "PASS: $name: status 0, the progress line redrawn in place on Wine's console, the flash written"
  fi
)

updates_began=$(date +%s)
update windows-updater "$linux/tz4817-emu" -- wine "$windows/tz4817-update.exe" &
update_pids=$!
update windows-emulator wine "$windows/tz4817-emu.exe" -- "$linux/tz4817-update" &
update_pids="$update_pids $!"
terminal_update &
update_pids="$update_pids $!"
# OstranUpdater.exe in its own Wine prefix on its own display, meanwhile.
xvfb-run -a -s "-screen 0 1280x1024x24" bash tools/test-windows-gui.sh "$work/program" >"$work/program.log" 2>&1 &
program_pid=$!
wait $update_pids || true
update_pids=$program_pid
echo "windows: the console updates: $(($(date +%s) - updates_began)) s"
for name in windows-updater windows-emulator windows-console; do
  result=$(cat "$work/$name/result" 2>/dev/null || echo "FAIL: $name: no verdict")
  case $result in
  PASS:*) pass "${result#PASS: }" ;;
  *) fail "${result#FAIL: }" ;;
  esac
done
if diff -u "$work/windows-updater/out" "$work/windows-emulator/out" &&
  diff -u "$work/windows-updater/err" "$work/windows-emulator/err"; then
  pass "the Windows and the Linux updater print the same lines"
else
  fail "the Windows and the Linux updater print different lines"
fi

# same NAME ENVIRONMENT ARGUMENTS...: the Windows and the Linux updater in an
# empty directory, with the same environment and arguments: same status,
# same output.
same() {
  local name=$1 environment=$2 dir=$work/$1
  shift 2
  mkdir -p "$dir/linux" "$dir/windows"
  local linux_status=0 windows_status=0
  (cd "$dir/linux" && env $environment "$linux/tz4817-update" "$@" >out 2>err) || linux_status=$?
  (cd "$dir/windows" && env $environment wine "$windows/tz4817-update.exe" "$@" >out.raw 2>err.raw) ||
    windows_status=$?
  tr -d '\r' <"$dir/windows/out.raw" >"$dir/windows/out"
  tr -d '\r' <"$dir/windows/err.raw" >"$dir/windows/err"
  if [ $linux_status -ne $windows_status ]; then
    fail "$name: status $windows_status on Windows, $linux_status on Linux"
  elif ! diff -u "$dir/linux/out" "$dir/windows/out" || ! diff -u "$dir/linux/err" "$dir/windows/err"; then
    fail "$name: the output differs"
  else
    pass "$name: status $linux_status and the same output: $(head -c 100 "$dir/linux/err" | head -n 1)"
  fi
}

# A port that nothing listens on: one the kernel gave and took back.
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
same bad-option "QRV_USBIP=127.0.0.1:1" --frobnicate
same bad-server-address "QRV_USBIP=127.0.0.1:99999" --list
same no-image "QRV_USBIP=127.0.0.1:$closed_port" --yes
same server-refuses "QRV_USBIP=127.0.0.1:$closed_port" --list

# An image in a folder named in characters the ANSI code page lacks: the
# Windows updater takes its arguments from the wide command line and opens
# the image through the wide API; the download reads its private copy by a
# short path the ANSI code page can spell. A full update of a small image;
# afterwards no private copy is left in the temporary folder, not even the
# one a killed updater left there before.
unicode_path() {
  local dir=$work/unicode folder="固件 Ωμέγα" status=0
  local temporary=$WINEPREFIX/drive_c/users/$(id -un)/Temp
  mkdir -p "$dir/$folder" "$temporary/tz4817-update.999999.0"
  echo "left by a killed updater" >"$temporary/tz4817-update.999999.0/tz4817.img"
  "$linux/tz4817-emu" --make-image "$dir/$folder/tz4817.img"
  truncate -s $((0x4000 + 0x8000)) "$dir/$folder/tz4817.img"
  if ! emulator_start "$dir/emulator.log" 30 "$linux/tz4817-emu" --listen 127.0.0.1:0 --flash "$dir/flash.bin" \
    --reboot-ms 300; then
    fail "unicode-path: the emulator did not start: $(cat "$dir/emulator.log")"
    return
  fi
  cp "$dir/flash.bin" "$dir/factory.bin"
  (cd "$dir" && LC_ALL=C.UTF-8 QRV_USBIP=$emulator_address wine "$windows/tz4817-update.exe" --yes "$folder" \
    >out.raw 2>err.raw) || status=$?
  emulator_stop
  if [ $status -ne 0 ]; then
    fail "unicode-path: status $status: $(tr -d '\r' <"$dir/out.raw" | tail -n 3) $(cat "$dir/err.raw")"
  elif ! cmp -s -i 16384 -n $((0x8000)) "$dir/flash.bin" "$dir/$folder/tz4817.img" ||
    ! cmp -s -n 16384 "$dir/flash.bin" "$dir/factory.bin"; then
    fail "unicode-path: the flash is not the image from '$folder'"
  elif ls -d "$temporary"/tz4817-update.* >/dev/null 2>&1; then
    fail "unicode-path: private copies were left behind: $(ls -d "$temporary"/tz4817-update.*)"
  else
    pass "unicode-path: the image in '$folder' was written, status 0"
  fi
}
unicode_path

# Two Windows updaters on one projector, the second started while the first
# waits for the projector to restart in programming mode: the first's claim
# (a Global mutex) keeps the second off it; the second exits 3 and names the
# first.
two_updaters() {
  local dir=$work/two-updaters first_status=0 second_status=0 first
  mkdir -p "$dir"
  "$linux/tz4817-emu" --make-image "$dir/tz4817.img"
  truncate -s $((0x4000 + 0x8000)) "$dir/tz4817.img"
  if ! emulator_start "$dir/emulator.log" 30 "$linux/tz4817-emu" --listen 127.0.0.1:0 --flash "$dir/flash.bin" \
    --reboot-ms 300 -v; then
    fail "two-updaters: the emulator did not start: $(cat "$dir/emulator.log")"
    return
  fi
  (cd "$dir" && QRV_USBIP=$emulator_address wine "$windows/tz4817-update.exe" --yes >first.raw 2>&1) &
  first=$!
  for _ in $(seq 1 300); do grep -q "frame 1: " "$dir/emulator.log" && break; sleep 0.1; done
  (cd "$dir" && QRV_USBIP=$emulator_address wine "$windows/tz4817-update.exe" --yes >second.raw 2>&1) ||
    second_status=$?
  wait $first || first_status=$?
  emulator_stop
  if [ $first_status -ne 0 ] || [ $second_status -ne 3 ]; then
    fail "two-updaters: statuses $first_status and $second_status (0 and 3 expected): $(tr -d '\r' <"$dir/second.raw")"
  elif ! grep -q "is being updated by process [0-9]* (tz4817-update)" "$dir/second.raw"; then
    fail "two-updaters: the second did not name the first: $(tr -d '\r' <"$dir/second.raw")"
  elif ! cmp -s -i 16384 -n $((0x8000)) "$dir/flash.bin" "$dir/tz4817.img"; then
    fail "two-updaters: the flash is not the image"
  else
    pass "two-updaters: the first updated the projector, the second left it alone and named the first"
  fi
}
two_updaters

# The local bus through SetupAPI and WinUSB: Wine has no USB devices, so the
# list is empty, and asking for it must work all the same.
mkdir -p "$work/local-list"
local_status=0
(cd "$work/local-list" && env -u QRV_USBIP wine "$windows/tz4817-update.exe" --list --json >out.raw 2>err.raw) ||
  local_status=$?
if [ $local_status -eq 0 ] &&
  [ "$(tr -d '\r' <"$work/local-list/out.raw")" = '{"bus": "local", "server": null, "projectors": []}' ]; then
  pass "local-list: the WinUSB bus lists no projector under Wine, status 0"
else
  fail "local-list: status $local_status, output: $(cat "$work/local-list/out.raw" "$work/local-list/err.raw")"
fi

# Recording on Windows: QRV_RECORD makes the Windows program (its update code
# and the DLL's driver) write a recording of a small update of the Linux
# emulated projector; tshark must read it with nothing malformed, and the
# Linux emulator must replay it to the Linux updater to its end, both ending
# with status 0 as the recorded run did.
recorded=$work/recorded
mkdir -p "$recorded"
"$linux/tz4817-emu" --make-image "$recorded/full.img"
head -c $((0x4000 + 560)) "$recorded/full.img" >"$recorded/tz4817.img"
record_status=0
if emulator_start "$recorded/emulator.log" 30 "$linux/tz4817-emu" --listen 127.0.0.1:0 --reboot-ms 300; then
  (cd "$recorded" && QRV_USBIP=$emulator_address QRV_RECORD=run.pcapng \
    wine "$windows/tz4817-update.exe" --yes >out.raw 2>err.raw) || record_status=$?
  emulator_stop
else
  record_status="no emulator"
fi
if [ "$record_status" = 0 ] && bash tools/check-recordings.sh "$recorded/run.pcapng" >"$recorded/check.log" 2>&1; then
  pass "recording under Wine: tz4817-update.exe wrote $(wc -c <"$recorded/run.pcapng") bytes that tshark reads"
else
  fail "recording under Wine: status $record_status: $(cat "$recorded/check.log" "$recorded/err.raw" 2>/dev/null | head -n 5)"
fi
replay_status="no replay"
replayed_status="not run"
if emulator_start "$recorded/replay.log" 30 "$linux/tz4817-emu" --replay "$recorded/run.pcapng" --replay-speed 0 \
  --listen 127.0.0.1:0; then
  replayed_status=0
  (cd "$recorded" && QRV_USBIP=$emulator_address "$linux/tz4817-update" --yes >replayed.out 2>replayed.err) ||
    replayed_status=$?
  replay_status=0
  wait "$emulator_pid" || replay_status=$?
  emulator_pid=
fi
if [ "$replay_status" = 0 ] && [ "$replayed_status" = 0 ]; then
  pass "the Windows recording replayed on Linux to its end: status 0, as recorded"
else
  fail "the Windows recording replayed on Linux: replay $replay_status, updater $replayed_status: $(tail -n 5 "$recorded/replay.log" 2>/dev/null)"
fi

# --- The installer ----------------------------------------------------------
# installer_tests: tz4817-updater-<version>-setup.exe in a fresh prefix of its
# own, as on a computer that never had the updater: a silent install and
# what it leaves (files, Start-menu shortcut, uninstall key), the installed
# programs run from the install folder, installing over it, silent
# uninstalls with and without a file of the user's in the folder. Files and
# keys are checked, never the installer's exit status alone: an installer
# that Windows cannot run at all may still end with status 0.
installer_tests() {
  local began=$SECONDS
  local version
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$repo/build-windows/CMakeCache.txt")
  local setup=$repo/build-windows/tz4817-updater-$version-setup.exe
  local log=$work/installer
  local -x WINEPREFIX=$repo/build-windows/wine-installer WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  local program_files=$WINEPREFIX/drive_c/Program\ Files
  local folder=$program_files/kx/projector/tz4817
  local windows_folder='C:\Program Files\kx\projector\tz4817'
  local shortcut=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/OstranUpdater.lnk
  local uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
  local installed="LICENSE.txt OstranUpdater.exe README.txt qrvdldll.dll qrvusbdll.dll tz4817-emu.exe tz4817-update.exe tz4817.inf uninstall.exe"
  local build_files=$repo/build-windows/packaging/windows/files
  mkdir -p "$log"
  rm -rf "$WINEPREFIX"
  wineboot -i >"$log/prefix.log" 2>&1
  echo "windows: installer: a fresh prefix: $((SECONDS - began)) s"

  # run_installer ARGUMENTS...: its status in $install_status. Wine returns
  # when the installer has ended: it starts nothing that runs on.
  run_installer() {
    install_status=0
    wine "$setup" "$@" >>"$log/install.log" 2>&1 || install_status=$?
  }
  # run_uninstaller: runs the command registered for quiet uninstalls
  # ("FOLDER\uninstall.exe" /S, as read_key last read it) and waits for it
  # (it runs on from a copy of itself and returns at once).
  run_uninstaller() {
    local program=${values[QuietUninstallString]% /S}
    program=${program#\"}
    wine "${program%\"}" /S >>"$log/uninstall.log" 2>&1 || true
    wineserver -w
  }
  # read_key: the values of every key under Uninstall that names this
  # program (DisplayName), into `values`, and how many such keys there are
  # into `keys`.
  local -A values
  local keys
  read_key() {
    values=()
    wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' >"$log/uninstall-keys.txt" || true
    keys=$(grep -c '^ *DisplayName *REG_SZ *tz4817 Firmware Updater$' "$log/uninstall-keys.txt" || true)
    local name value
    while read -r name _ value; do
      values[$name]=$value
    done < <(sed -n '/\\tz4817-updater$/,/^$/p' "$log/uninstall-keys.txt" | grep REG_)
  }
  # folder_holds NAMES: the install folder holds exactly these files.
  folder_holds() {
    [ "$(ls "$folder" 2>/dev/null | sort | tr '\n' ' ')" = "$(echo "$@" | tr ' ' '\n' | sort | tr '\n' ' ')" ]
  }
  # same_as_built: each installed file equals the one the build made.
  same_as_built() {
    local name
    for name in tz4817-update.exe tz4817-emu.exe qrvdldll.dll qrvusbdll.dll; do
      cmp -s "$folder/$name" "$repo/build-windows/bin/$name" || return 1
    done
    for name in README.txt LICENSE.txt tz4817.inf; do
      cmp -s "$folder/$name" "$build_files/$name" || return 1
    done
    cmp -s "$folder/OstranUpdater.exe" "$windows/OstranUpdater.exe"
  }

  run_installer /S
  if folder_holds $installed && same_as_built; then
    pass "installer: a silent install puts the programs, DLLs, README, licence and INF in $windows_folder"
  else
    fail "installer: after a silent install (status $install_status) the folder holds: $(ls "$folder" 2>&1 | tr '\n' ' ')"
  fi
  if grep -a -q -F "$windows_folder\\OstranUpdater.exe" "$shortcut" 2>/dev/null; then
    pass "installer: the all-users Start menu has OstranUpdater.lnk, to $windows_folder\\OstranUpdater.exe"
  else
    fail "installer: no Start-menu shortcut to the program at $shortcut"
  fi
  read_key
  local expected=(
    "DisplayName=tz4817 Firmware Updater" "DisplayVersion=$version" "Publisher=tz4817 updater developers"
    "InstallLocation=$windows_folder" "DisplayIcon=$windows_folder\\OstranUpdater.exe"
    "UninstallString=\"$windows_folder\\uninstall.exe\"" "QuietUninstallString=\"$windows_folder\\uninstall.exe\" /S"
    "NoModify=0x1" "NoRepair=0x1")
  local pair wrong=
  for pair in "${expected[@]}"; do
    [ "${values[${pair%%=*}]:-}" = "${pair#*=}" ] || wrong+=" ${pair%%=*}=${values[${pair%%=*}]:-(none)}"
  done
  # The size in KB, of the order of what the folder holds.
  local size=$(($(du -sk "$folder" | cut -f1)))
  [[ "${values[EstimatedSize]:-}" =~ ^0x[0-9a-f]+$ ]] && [ $((values[EstimatedSize])) -gt $((size / 2)) ] &&
    [ $((values[EstimatedSize])) -lt $((size * 2)) ] || wrong+=" EstimatedSize=${values[EstimatedSize]:-(none)} (${size} KB installed)"
  if [ "$keys" = 1 ] && [ -z "$wrong" ]; then
    pass "installer: the uninstall key tz4817-updater holds its ten values"
  else
    fail "installer: $keys uninstall keys;$wrong"
  fi
  # Run from elsewhere: tz4817-update.exe imports both DLLs, so that it
  # starts at all shows that they are found beside it.
  local program output
  for program in OstranUpdater tz4817-update; do
    output=$(cd "$log" && wine "$windows_folder\\$program.exe" --version 2>&1 | tr -d '\r') || true
    if [ "$output" = "$program $version" ]; then
      pass "installer: the installed $program.exe starts from the install folder: --version says \"$output\""
    else
      fail "installer: the installed $program.exe --version: $output"
    fi
  done

  # Over it: a damaged file of the install is replaced, the user's file
  # stays; the driver at once (/DRIVER=1) cannot be installed under Wine,
  # which has no pnputil.exe, and that must show in the exit status.
  echo "the user's notes" >"$folder/notes.txt"
  echo damaged >"$folder/README.txt"
  run_installer /S /DRIVER=1
  read_key
  if folder_holds $installed notes.txt && same_as_built && [ "$keys" = 1 ] &&
    [ "${values[InstallLocation]:-}" = "$windows_folder" ]; then
    pass "installer: installing over it replaces its files, keeps the user's and one uninstall key"
  else
    fail "installer: after installing over it: $keys uninstall keys, the folder: $(ls "$folder" 2>&1 | tr '\n' ' ')"
  fi
  if [ "$install_status" = 3 ]; then
    pass "installer: /DRIVER=1 without pnputil (Wine has none): status 3, the driver not installed is reported"
  else
    fail "installer: /DRIVER=1 without pnputil ended with status $install_status, not 3"
  fi

  run_uninstaller
  read_key
  if folder_holds notes.txt && [ ! -e "$shortcut" ] && [ "$keys" = 0 ]; then
    pass "installer: a silent uninstall removes the files, shortcut and key, and keeps the user's file and folder"
  else
    fail "installer: after uninstalling: $keys uninstall keys, shortcut $(ls "$shortcut" 2>&1), the folder: $(ls "$folder" 2>&1 | tr '\n' ' ')"
  fi
  rm -f "$folder/notes.txt"
  run_installer /S
  read_key
  run_uninstaller
  if [ -d "$program_files" ] && [ ! -e "$program_files/kx" ]; then
    pass "installer: with nothing of the user's, a silent uninstall leaves no folder behind"
  else
    fail "installer: after installing and uninstalling, $program_files/kx is still there: $(find "$program_files/kx" | tr '\n' ' ')"
  fi
  wineserver -k 2>/dev/null || true
  echo "windows: installer: $((SECONDS - began)) s"
}
installer_tests
# --- end of the installer ----------------------------------------------------

wait $program_pid || true
update_pids=
echo "windows: the program's runs ended $(($(date +%s) - updates_began)) s after they began"
grep '^windows-gui:' "$work/program.log" || true
while read -r line; do
  case $line in
  PASS:*) pass "OstranUpdater.exe: ${line#PASS: }" ;;
  FAIL:*) fail "OstranUpdater.exe: ${line#FAIL: }" ;;
  esac
done < <(grep -E '^(PASS|FAIL):' "$work/program.log")
grep -q '^PASS:' "$work/program.log" || fail "OstranUpdater.exe: no result: $(tail -n 20 "$work/program.log")"

echo "windows: the whole step: $(($(date +%s) - start)) s"
echo "windows: $passed passed, $failed failed"
[ $failed -eq 0 ]
