#!/usr/bin/env bash
# The project's test command: installs what is missing, builds, and runs every
# test, then the same tests under AddressSanitizer + UBSan, then the threaded
# tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-deps.sh

run_preset() {
  local preset=$1
  echo "=== preset $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

run_preset default
run_preset asan
run_preset tsan
