#!/usr/bin/env bash
# Has tshark (Wireshark's command line) read every recording in
# tests/recordings/ in full: each must open, and no packet may be malformed or
# carry an error of Wireshark's expert information. A recording is meant to be
# read in the tool a person already has; this is that person's first look.
#
#   tools/check-recordings.sh [FILE...]     (default: tests/recordings/*.pcapng)

# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."

files=("$@")
[ ${#files[@]} -gt 0 ] || files=(tests/recordings/*.pcapng)
failed=0
for file in "${files[@]}"; do
  if ! details=$(tshark -r "$file" -V 2>&1); then
    echo "check-recordings: tshark cannot read $file:" >&2
    printf '%s\n' "$details" | tail -n 5 >&2
    failed=1
    continue
  fi
  packets=$(grep -c '^Frame [0-9]*:' <<<"$details" || true)
  # Every packet is USB (usbmon) or a note (an exported PDU): a file tshark
  # takes for something else is no recording.
  bad=$(grep -E '\[Malformed|Expert Info \(Error' <<<"$details" || true)
  bad+=$(grep -E '^    Encapsulation type:' <<<"$details" |
    grep -vE 'USB packets with Linux header and padding|Wireshark Upper PDU export' || true)
  if [ -n "$bad" ] || [ "$packets" -eq 0 ]; then
    echo "check-recordings: $file: ${packets} packets, $(grep -c . <<<"$bad") malformed, in error or neither USB nor a note:" >&2
    printf '%s\n' "$bad" | head -n 5 >&2
    failed=1
    continue
  fi
  echo "check-recordings: $file: $packets packets, none malformed"
done
exit $failed
