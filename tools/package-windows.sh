#!/usr/bin/env bash
# Builds the windows preset and makes the downloads for Windows users:
#
# - tz4817-updater-<version>-setup.exe, the installer (built by the preset);
# - tz4817-updater-windows-x64.zip, for use without installing: in one folder
#   tz4817-updater-windows-x64/, OstranUpdater.exe, tz4817-update.exe,
#   tz4817-emu.exe and the two DLLs in bin/, their import libraries and
#   module-definition files in lib/, headers in include/, the driver
#   information file tz4817.inf (with its signed catalog when the build has
#   one), README.txt for Windows users and LICENSE.txt.
#
# Then it checks the signing of a release (tools/sign-windows.sh) on copies
# of the programs, DLLs and installer, with a certificate made here and
# thrown away: each signature present and well formed. Trusted by nothing.
#
# Usage: bash tools/package-windows.sh [OUTPUT_DIRECTORY]   (default build-windows)

# SPDX-License-Identifier: MIT
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
output=$(mkdir -p "${1:-build-windows}" && cd "${1:-build-windows}" && pwd)

bash tools/setup-deps.sh windows
cmake --preset windows >/dev/null
cmake --build --preset windows

build=$repo/build-windows
# Windows line ends and the catalog, as the installer has them.
files=$build/packaging/windows/files
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
installer=$build/tz4817-updater-$version-setup.exe
programs=(OstranUpdater.exe tz4817-update.exe tz4817-emu.exe qrvdldll.dll qrvusbdll.dll)

name=tz4817-updater-windows-x64
stage=$build/package/$name
rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/lib" "$stage/include"
for program in "${programs[@]}"; do
  cp "$build/bin/$program" "$stage/bin/"
done
cp "$build/lib/static/qrvdldll.lib" "$build/lib/static/qrvusbdll.lib" \
  "$build/flash_download/qrvdldll.def" "$build/usb_transport/qrvusbdll.def" "$stage/lib/"
cp flash_download/include/qrvdl.h usb_transport/include/qrvusb.h "$stage/include/"
cp "$files/README.txt" "$files/LICENSE.txt" "$files/tz4817.inf" "$stage/"
# Only a release build has the catalog (QRV_DRIVER_CATALOG).
if [ -f "$files/tz4817.cat" ]; then cp "$files/tz4817.cat" "$stage/"; fi

rm -f "$output/$name.zip"
(cd "$stage/.." && zip -q -r -X "$output/$name.zip" "$name")
[ "$output" = "$build" ] || cp "$installer" "$output/"
echo "package-windows: $output/$name.zip"
python3 -m zipfile -l "$output/$name.zip"
echo "package-windows: $output/$(basename "$installer") ($(stat -c %s "$installer") bytes)"

# signing_check: signs copies of the programs, DLLs and installer, and an
# installer built with its uninstaller signed, with a throwaway self-signed
# certificate; tools/sign-windows.sh verifies each signature against that
# certificate. No timestamp server is contacted.
signing_check() {
  local began=$SECONDS check=$build/signing-check
  rm -rf "$check"
  mkdir -p "$check/files"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=tz4817 throwaway test certificate" \
    -addext extendedKeyUsage=codeSigning -keyout "$check/key.pem" -out "$check/certificate.pem" 2>"$check/openssl.log"
  for program in "${programs[@]}"; do
    cp "$build/bin/$program" "$check/files/"
  done
  cp "$installer" "$check/files/"
  local sign=(bash "$repo/tools/sign-windows.sh" "$check/certificate.pem" "$check/key.pem")
  (
    export QRV_SIGN_CA=$check/certificate.pem
    unset QRV_TIMESTAMP_URL
    "${sign[@]}" "$check"/files/*
    QRV_SIGN_UNINSTALLER="$(printf '%q ' "${sign[@]}")" makensis -V2 -WX \
      -DPAYLOAD="$build/packaging/windows/payload.nsh" -DOUTFILE="$check/uninstaller-signed-setup.exe" \
      packaging/windows/tz4817-updater.nsi
  ) >"$check/sign.log" 2>&1 || {
    cat "$check/sign.log"
    echo "package-windows: the signing check failed"
    return 1
  }
  # The uninstaller is signed in a temporary file as makensis writes it.
  if [ "$(grep -c ': signed (SHA-256), the signature verified$' "$check/sign.log")" != $((${#programs[@]} + 2)) ]; then
    cat "$check/sign.log"
    echo "package-windows: the signing check did not sign every file"
    return 1
  fi
  echo "package-windows: signing check: the ${#programs[@]} programs and DLLs, the installer and its uninstaller" \
    "signed (SHA-256), each signature present and well formed; verified against the throwaway certificate" \
    "itself, which nothing trusts: NOT a signature Windows would trust ($((SECONDS - began)) s)"
}
signing_check
