#!/usr/bin/env bash
# Writes the recordings in this folder again: updates of the emulated
# projector recorded by tz4817-update --record, each with one thing gone
# wrong. tests/integration/replay_test.cpp replays each through the updater
# and expects the recorded end; tools/test.sh has tshark read each.
#
#   tests/recordings/make-recordings.sh [BUILD_DIR [OUT_DIR]]
#
# BUILD_DIR holds the programs (default: build); OUT_DIR is where the
# recordings go (default: this folder).
#
# The image is the emulator's demo image cut to 0x4000 + 560 bytes (ten
# download frames). The projector erases in no time (--erase-ms 0), so the
# frames are numbered alike in every run: 1 the switch into programming mode,
# 2-12 status, identity, erase and the range, 13-22 the download, 23-24 the
# checksum, 25 back to the application. Each fault strikes at frame 17, the
# fifth download frame.
#
#   update.pcapng              a whole update
#   checksum-failed.pcapng     a bit that would not program (--fault flip-bit), so the
#                              checksums differ; recorded without data (--record-without-data)
#   reply-never-came.pcapng    the reply to frame 17 never came (--fault drop-reply)
#   left-mid-download.pcapng   the projector left the bus at frame 17 (--fault leave)
#   rerun-after-kill.pcapng    an update killed (SIGKILL) while it waited for frame 17's reply,
#                              then run again: its opening reads away the reply left waiting

# SPDX-License-Identifier: MIT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
if [ -n "${2:-}" ]; then
  mkdir -p "$2"
  here=$(cd "$2" && pwd)
fi
bin=$(cd "$build/bin" && pwd)
work=$(mktemp -d)
emulator=
cleanup() {
  [ -n "$emulator" ] && kill "$emulator" 2>/dev/null && wait "$emulator" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/tz4817-emu" --make-image "$work/full.img"
head -c $((0x4000 + 560)) "$work/full.img" >"$work/tz4817.img"

# start_emulator FAULT...: a fresh projector on a free port; sets $address.
start_emulator() {
  : >"$work/emulator.out"
  "$bin/tz4817-emu" --listen 127.0.0.1:0 --reboot-ms 100 --erase-ms 0 -v "$@" \
    >"$work/emulator.out" 2>"$work/emulator.log" &
  emulator=$!
  for _ in $(seq 100); do grep -q "listening on" "$work/emulator.out" && break; sleep 0.05; done
  address=$(sed -n 's/.*listening on \([^,]*\),.*/\1/p' "$work/emulator.out")
  [ -n "$address" ] || { echo "make-recordings: the emulator did not start" >&2; exit 1; }
}
stop_emulator() {
  kill "$emulator"
  wait "$emulator" || true
  emulator=
}

# record NAME EXPECTED_STATUS [UPDATER OPTION...]: one recorded update.
record() {
  local name=$1 expected=$2 status=0
  shift 2
  QRV_USBIP=$address QRV_TEST_SWITCH_PAUSE_MS=200 "$bin/tz4817-update-short-wait" --yes -C "$work" \
    --record "$here/$name" "$@" >"$work/update.out" 2>"$work/update.err" || status=$?
  if [ "$status" != "$expected" ]; then
    echo "make-recordings: $name: the update ended with $status, not $expected" >&2
    cat "$work/update.err" >&2
    exit 1
  fi
  echo "make-recordings: $name ($(wc -c <"$here/$name") bytes, exit status $status)"
}

start_emulator
record update.pcapng 0
stop_emulator

start_emulator --fault flip-bit=0x4010:3
record checksum-failed.pcapng 1 --record-without-data
stop_emulator

start_emulator --fault drop-reply@17
record reply-never-came.pcapng 1
stop_emulator

start_emulator --fault leave@17
record left-mid-download.pcapng 1
stop_emulator

# The killed run: its reply to frame 17 is held back for a minute; the
# updater dies waiting for it. SIGUSR1 then ends the fault, and the reply
# waits in the projector's IN endpoint for whoever reads next.
start_emulator --fault late-reply@17:60000
(exec env QRV_USBIP="$address" QRV_TEST_SWITCH_PAUSE_MS=200 "$bin/tz4817-update-short-wait" --yes -C "$work" \
  >/dev/null 2>&1) &
killed=$!
for _ in $(seq 200); do grep -q "frame 17:" "$work/emulator.log" && break; sleep 0.05; done
kill -KILL "$killed"
wait "$killed" 2>/dev/null || true
kill -USR1 "$emulator"
for _ in $(seq 100); do grep -q "faults cleared" "$work/emulator.out" && break; sleep 0.05; done
record rerun-after-kill.pcapng 0
stop_emulator
