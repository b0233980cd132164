#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the
# updater need; with the argument "fuzz" also those of the fuzz preset
# (tools/fuzz.sh). Idempotent: when everything is installed it only asks dpkg.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev      # unit tests
  usbip                          # a USB/IP peer written elsewhere, for the emulator's tests
  qt6-base-dev                   # OstranUpdater
  fonts-dejavu-core              # its stand-in for the dialog font, also offscreen in tests
  libusb-1.0-0-dev               # local USB bus
  umockdev libumockdev-dev       # the local bus tested through real libusb
  libbenchmark-dev python3       # bench/ and its report
  time                           # bench/scale.py: each updater's own peak memory
)
case ${1:-} in
'') ;;
fuzz) packages+=(clang-16 libfuzzer-16-dev libclang-rt-16-dev) ;;  # the fuzz preset
*)
  echo "usage: $0 [fuzz]" >&2
  exit 2
  ;;
esac

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup-deps: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
