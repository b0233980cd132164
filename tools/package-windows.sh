#!/usr/bin/env bash
# Builds the windows preset and makes the download for Windows users,
# tz4817-updater-windows-x64.zip: the two DLLs with their import libraries,
# module-definition files and headers, tz4817-update.exe, tz4817-emu.exe and a
# README for Windows users (packaging/windows/README.txt), all in one folder
# tz4817-updater-windows-x64/.
#
# Usage: bash tools/package-windows.sh [OUTPUT_DIRECTORY]   (default build-windows)

# SPDX-License-Identifier: MIT
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
output=$(mkdir -p "${1:-build-windows}" && cd "${1:-build-windows}" && pwd)

bash tools/setup-deps.sh windows
cmake --preset windows >/dev/null
cmake --build --preset windows --target qrvdldll qrvusbdll tz4817-update tz4817-emu

name=tz4817-updater-windows-x64
stage=$repo/build-windows/package/$name
rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/lib" "$stage/include"
build=$repo/build-windows
cp "$build/bin/tz4817-update.exe" "$build/bin/tz4817-emu.exe" "$build/bin/qrvdldll.dll" "$build/bin/qrvusbdll.dll" \
  "$stage/bin/"
cp "$build/lib/static/qrvdldll.lib" "$build/lib/static/qrvusbdll.lib" \
  "$build/flash_download/qrvdldll.def" "$build/usb_transport/qrvusbdll.def" "$stage/lib/"
cp flash_download/include/qrvdl.h usb_transport/include/qrvusb.h "$stage/include/"
# Windows line ends for the one file people read in Notepad.
sed 's/$/\r/' packaging/windows/README.txt >"$stage/README.txt"
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/bin/*

rm -f "$output/$name.zip"
(cd "$stage/.." && zip -q -r -X "$output/$name.zip" "$name")
echo "package-windows: $output/$name.zip"
python3 -m zipfile -l "$output/$name.zip"
