#!/usr/bin/env bash
# Renders the screens of OstranUpdater offscreen into docs/screenshots/: the
# three wizard pages, the update dialog Ready, Running, Done and Failed, and
# the About box.
#
# Usage: tools/render-screenshots.sh [BUILD_DIR]   (default: build, configured)

# SPDX-License-Identifier: MIT
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target ostran_screenshots >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bin/ostran_screenshots" "$root/docs/screenshots"
