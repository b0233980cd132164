#!/usr/bin/env bash
# Signs Windows programs, DLLs and installers with Authenticode (SHA-256,
# osslsigncode), each FILE in place (a signature already there is replaced),
# and checks every signature afterwards with osslsigncode verify.
#
# Without FILE, the release of the windows build: the programs and DLLs of
# build-windows/bin/, then the installer, built again around them with its
# uninstaller signed as makensis writes it, and then signed itself. Then
# tools/package-windows.sh makes the zip from the signed programs.
#
# Usage: bash tools/sign-windows.sh CERT KEY [FILE...]
#   CERT  the code-signing certificate, PEM or DER (with the certificates of
#         its chain up to the root, for Windows to follow)
#   KEY   its private key (PEM or DER)
#
# Environment:
#   QRV_TIMESTAMP_URL       a timestamp server (RFC 3161) that countersigns each
#                           signature, so that it outlives the certificate;
#                           none when unset (CI never contacts one)
#   QRV_SIGN_PASSWORD_FILE  a file holding the key's passphrase
#   QRV_SIGN_CA             the certificates the signatures are verified
#                           against (default: this computer's list)

# SPDX-License-Identifier: MIT
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -lt 2 ]; then
  sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
cert=$1
key=$2
shift 2
for file in "$cert" "$key"; do
  [ -r "$file" ] || { echo "sign-windows: cannot read $file" >&2; exit 2; }
done
if [ $# -eq 0 ]; then
  cd "$repo"
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  bash "$0" "$cert" "$key" build-windows/bin/*.exe build-windows/bin/*.dll
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
  installer=build-windows/tz4817-updater-$version-setup.exe
  rm -f "$installer"
  QRV_SIGN_UNINSTALLER="bash $(printf '%q %q %q' "$repo/tools/sign-windows.sh" "$(realpath "$cert")" "$(realpath "$key")")" \
    cmake --build --preset windows --target installer
  exec bash "$0" "$cert" "$key" "$installer"
fi

options=(-certs "$cert" -key "$key" -h sha256 -n "tz4817 Firmware Updater")
[ -n "${QRV_SIGN_PASSWORD_FILE:-}" ] && options+=(-readpass "$QRV_SIGN_PASSWORD_FILE")
[ -n "${QRV_TIMESTAMP_URL:-}" ] && options+=(-ts "$QRV_TIMESTAMP_URL")
verify_options=()
[ -n "${QRV_SIGN_CA:-}" ] && verify_options+=(-CAfile "$QRV_SIGN_CA")

temporary=$(mktemp -d)
trap 'rm -rf "$temporary"' EXIT
failed=0
for file in "$@"; do
  if [ ! -f "$file" ]; then
    echo "sign-windows: $file: no such file" >&2
    failed=1
    continue
  fi
  rm -f "$temporary/signed"
  if ! osslsigncode sign "${options[@]}" -in "$file" -out "$temporary/signed" >"$temporary/sign.log" 2>&1; then
    echo "sign-windows: $file: not signed: $(cat "$temporary/sign.log")" >&2
    failed=1
    continue
  fi
  cat "$temporary/signed" >"$file"
  if osslsigncode verify "${verify_options[@]}" -in "$file" >"$temporary/verify.log" 2>&1; then
    echo "sign-windows: $file: signed (SHA-256), the signature verified"
  else
    echo "sign-windows: $file: the signature does not verify:" >&2
    grep -E 'digest|Error|error|verification' "$temporary/verify.log" >&2 || cat "$temporary/verify.log" >&2
    failed=1
  fi
done
exit $failed
