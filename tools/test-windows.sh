#!/usr/bin/env bash
# The Windows build and its checks, a step of its own in CI: cross-builds the
# windows preset with mingw-w64 and runs its tests (the DLLs export exactly
# the names of the Linux libraries), then runs the Windows programs under
# Wine against the Linux ones over USB/IP on the loopback interface:
#
#   1. the Windows tz4817-update.exe updates the Linux tz4817-emu;
#   2. the Linux tz4817-update updates the Windows tz4817-emu.exe;
#
# side by side, each a full update of a 2 MB image, the flash compared with the image
# afterwards (from 0x4000 on; the boot sector untouched). Both updates must
# print the same lines and end with status 0. Then the Windows and the Linux
# tz4817-update are run side by side on failures that need no projector
# (bad usage, no image, an unreachable server): same statuses, same words.
# Then the Windows local bus (SetupAPI, WinUSB) lists the projectors of a
# computer that has none. Last, the Windows tz4817-update.exe records an
# update (QRV_RECORD), tshark reads the recording, and the Linux emulator
# replays it to the Linux tz4817-update.
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
cmake --build --preset default --target tz4817-emu tz4817-update
echo "windows: cross build and exports tests: $(($(date +%s) - start)) s"

linux=$repo/build/bin
windows=$repo/build-windows/bin
work=$repo/build-windows/wine-runs
rm -rf "$work"
mkdir -p "$work"

finish() {
  # The updates' subshells stop their emulators as they end.
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

# update NAME EMULATOR... -- UPDATER...: one full update against an emulated
# projector with a factory-fresh flash, run in a subshell of its own (the
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
  tr -d '\r' <"$dir/out.raw" >"$dir/out"
  tr -d '\r' <"$dir/err.raw" >"$dir/err"
  echo "windows: $name: $(($(date +%s) - began)) s"
  if [ $status -ne 0 ]; then
    verdict "FAIL: $name: the updater ended with status $status: $(cat "$dir/out" "$dir/err")"
  elif ! cmp -s -i 16384 "$dir/flash.bin" "$dir/tz4817.img"; then
    verdict "FAIL: $name: the flash differs from the image after 0x4000"
  elif ! cmp -s -n 16384 "$dir/flash.bin" "$dir/factory.bin"; then
    verdict "FAIL: $name: the boot sector was changed"
  else
    verdict "PASS: $name: status 0, the flash equals the image, the boot sector untouched"
  fi
)

updates_began=$(date +%s)
update windows-updater "$linux/tz4817-emu" -- wine "$windows/tz4817-update.exe" &
update_pids=$!
update windows-emulator wine "$windows/tz4817-emu.exe" -- "$linux/tz4817-update" &
update_pids="$update_pids $!"
wait $update_pids || true
update_pids=
echo "windows: both updates: $(($(date +%s) - updates_began)) s"
for name in windows-updater windows-emulator; do
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

echo "windows: the whole step: $(($(date +%s) - start)) s"
echo "windows: $passed passed, $failed failed"
[ $failed -eq 0 ]
