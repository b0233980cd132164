#!/usr/bin/env bash
# The main job: updates an emulated tz4817 projector from start to end and
# checks its flash afterwards.
#
# Installs what is missing, builds the programs, makes a demo directory with
# a 2,097,152-byte firmware image, starts tz4817-emu on a free loopback port
# with a factory-fresh flash file, runs OstranUpdater when a display is
# available (DISPLAY or WAYLAND_DISPLAY) and tz4817-update --yes otherwise,
# stops the emulator, and checks that the flash now equals the image from
# 0x4000 on and that the boot sector (the first 16 KB) is untouched.
#
# Usage: bash tools/demo.sh [--headless]
#   --headless   use tz4817-update even when a display is available
# Environment: DEMO_DIR (default build/demo), REBOOT_MS (the emulated
# projector's restart time, default 1500).
# Exit status 0 only when the flash check passes.

# SPDX-License-Identifier: MIT
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
headless=no
for argument in "$@"; do
  case $argument in
    --headless) headless=yes ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "demo: unknown argument '$argument' (see --help)" >&2; exit 2 ;;
  esac
done
if [ $headless = no ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  headless=yes
fi

say() { printf '\n=== %s\n' "$*"; }

source "$repo/tools/emulator.sh"
# No process is left behind, whichever way the script ends. An update that
# has started is not interrupted: tz4817-update holds Ctrl-C back until it is
# done, and the script goes on to the check.
trap emulator_stop EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

say "Installing what is missing"
bash "$repo/tools/setup-deps.sh"

say "Building"
cd "$repo"
targets=(tz4817-emu tz4817-update)
[ $headless = no ] && targets+=(OstranUpdater)
cmake --preset default >/dev/null
cmake --build --preset default --target "${targets[@]}"
bin=$repo/build/bin

demo=${DEMO_DIR:-$repo/build/demo}
say "Demo directory $demo"
mkdir -p "$demo"
image=$demo/tz4817.img
flash=$demo/projector-flash.bin
factory=$demo/factory-flash.bin
rm -f "$image" "$flash" "$factory" "$demo/emulator.log"
"$bin/tz4817-emu" --make-image "$image"
echo "tz4817.img: $(stat -c %s "$image") bytes (the demo firmware; \"TZ4817 APPLICATION v2.0\" at 0x4000)"

say "Starting the emulated projector"
# In a session of its own, so that the terminal's Ctrl-C does not pull the
# projector away in the middle of an update; the EXIT trap stops it.
if ! emulator_start "$demo/emulator.log" 10 \
  setsid "$bin/tz4817-emu" --listen 127.0.0.1:0 --flash "$flash" --reboot-ms "${REBOOT_MS:-1500}"; then
  cat "$demo/emulator.log" >&2
  echo "demo: the emulator did not start" >&2
  exit 1
fi
head -n 1 "$demo/emulator.log"
# The flash file as the factory left it, to compare the boot sector with.
cp "$flash" "$factory"
export QRV_USBIP=$emulator_address

updater_status=0
if [ $headless = yes ]; then
  say "Updating with tz4817-update --yes (QRV_USBIP=$QRV_USBIP)"
  (cd "$demo" && "$bin/tz4817-update" --yes) || updater_status=$?
else
  say "Updating with OstranUpdater (QRV_USBIP=$QRV_USBIP): follow the wizard, press Update, then Finish"
  (cd "$demo" && "$bin/OstranUpdater") || updater_status=$?
fi
emulator_stop
[ $updater_status -eq 0 ] || echo "demo: the updater ended with status $updater_status"

say "Checking the projector's flash"
passed=yes
size=$(stat -c %s "$image")
if [ "$(stat -c %s "$flash")" = "$size" ] && cmp -s -i 16384 "$flash" "$image"; then
  echo "OK: the flash equals tz4817.img from 0x4000 on ($((size - 16384)) bytes)"
else
  echo "FAILED: the flash differs from tz4817.img after 0x4000"
  passed=no
fi
if cmp -s -n 16384 "$flash" "$factory"; then
  echo "OK: the boot sector (0x0000-0x3FFF) is untouched"
else
  echo "FAILED: the boot sector (0x0000-0x3FFF) was changed"
  passed=no
fi
if [ $passed = yes ]; then
  echo "Demo passed: the projector runs the new firmware."
  exit 0
fi
echo "Demo FAILED."
exit 1
