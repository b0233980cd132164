#!/usr/bin/env bash
# Renders the SVG sources beside this script into the pictures the program
# embeds: bitmaps 130, 131 and 133 as 24-bit BMP files and icon 128 as a
# 32 x 32 PNG of 256 colours, and the same icon as the Windows icon file
# (icon128.ico) that the Windows build embeds. Run it after changing an SVG
# and commit the results.
#
# Usage: wizard/resources/render-bitmaps.sh [BUILD_DIR]   (default: build)
# Needs rsvg-convert (Debian librsvg2-bin) and builds the bitmap_convert tool
# in BUILD_DIR, which must be configured already.

# SPDX-License-Identifier: MIT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}

cmake --build "$build" --target bitmap_convert >/dev/null
convert="$build/bin/bitmap_convert"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

render() {
    local svg=$1 out=$2 width=$3 height=$4
    rsvg-convert -w "$width" -h "$height" "$here/$svg" -o "$work/$out.png"
    "$convert" "$work/$out.png" "$here/$out" "$width" "$height"
    echo "rendered $out ($width x $height)"
}

render projector.svg bitmap130.bmp 318 215
render rear_panel.svg bitmap131.bmp 300 195
render control_panel.svg bitmap133.bmp 318 211
render icon.svg icon128.png 32 32
python3 "$here/ico_from_png.py" "$here/icon128.png" "$here/icon128.ico"
echo "made icon128.ico"
