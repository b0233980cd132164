#!/usr/bin/env bash
# The fault drill: a seeded campaign of updates against the emulated
# projector, each with one fault (the emulator's --fault kinds, tz4817-update
# killed between a frame and its reply, a power cut, a projector already in
# programming mode), and a clean rerun after every run that did not end
# updated. Writes docs/reliability.md (or --report FILE) with the runs per
# phase and per fault kind and four figures that must hold; the exit status
# is 0 only when they all do.
#
#   tools/drill.sh [--runs N] [--seed S] [--jobs J] [--report FILE]
#   tools/drill.sh --soak N [--seed S] [--report FILE]
#
# --soak N: N full updates in a row against one emulator left running; the
# report's soak section gives its memory, descriptors and threads after the
# first, the middle and the last, and whether every flash was right.
#
# Builds tz4817-emu and the test build of tz4817-update (whose switch pause
# and attach wait the drill shortens) with the default preset first.

# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target tz4817-emu tz4817-update-short-wait >/dev/null
exec python3 tools/drill.py --bin build/bin "$@"
