#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the
# updater need; with the argument "fuzz" also those of the fuzz preset
# (tools/fuzz.sh), with "package" also the Debian packaging tools and the
# checkers of the package (tools/package.sh, tools/package-check.sh), with
# "windows" those of the windows preset (the mingw-w64 cross compiler, NSIS
# for the installer, Wine to run what it builds: tools/test-windows.sh) and
# of signing (tools/sign-windows.sh, tools/package-windows.sh).
# Several arguments install everything in one apt-get run (what CI does
# first). Idempotent: when everything is installed it only asks dpkg.

# SPDX-License-Identifier: MIT
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
  tshark                         # reads the recordings as a person would (tools/check-recordings.sh)
)
for extra in "$@"; do
  case $extra in
  fuzz) packages+=(clang-16 libfuzzer-16-dev libclang-rt-16-dev) ;;  # the fuzz preset
  package)
    packages+=(
      build-essential dpkg-dev debhelper fakeroot   # dpkg-buildpackage and dh
      help2man bash-completion                      # man pages, completions' install folder
      lintian desktop-file-utils appstream man-db   # the package's checkers
    )
    ;;
  windows)
    packages+=(
      g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64  # the windows preset
      wine wine64                                           # runs its programs and tests
      xvfb xauth xdotool x11-utils imagemagick fonts-wine   # OstranUpdater.exe's windows under Wine
      nsis                                                  # the installer (makensis)
      zip                                                   # tools/package-windows.sh
      osslsigncode openssl                                  # signing, and its check with a throwaway certificate
    )
    ;;
  *)
    echo "usage: $0 [fuzz] [package] [windows]" >&2
    exit 2
    ;;
  esac
done

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
