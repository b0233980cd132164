#!/usr/bin/env bash
# Builds the Debian packages tz4817-updater and tz4817-updater-dev with
# dpkg-buildpackage from a copy of the working tree (uncommitted changes
# included; build folders and .git left out) in build/package/, where the
# .deb files end up. Installs the packaging tools first
# (tools/setup-deps.sh package). Prints the path of each package built.
#
# Usage: bash tools/package.sh
# Then: sudo apt install ./build/package/tz4817-updater_*.deb

# SPDX-License-Identifier: MIT
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/tools/setup-deps.sh" package

version=$(dpkg-parsechangelog -l "$repo/debian/changelog" -S Version)
project_version=$(sed -n 's/^project(tz4817_updater VERSION \([0-9.]*\) .*/\1/p' "$repo/CMakeLists.txt")
if [ "$version" != "$project_version" ]; then
  echo "package: debian/changelog has version $version, CMakeLists.txt $project_version" >&2
  exit 1
fi

out=$repo/build/package
source=$out/tz4817-updater-$version
rm -rf "$out"
mkdir -p "$source"
tar -C "$repo" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='./obj-*' \
  --exclude=./debian/.debhelper --exclude='./debian/tz4817-updater*/' --exclude=./demo -cf - . |
  tar -C "$source" -xf -

cd "$source"
# The tests run in tools/test.sh; the package build only compiles.
DEB_BUILD_OPTIONS="nocheck parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -us -uc -b
rm -rf "$source"
for deb in "$out"/*.deb; do echo "package: $deb"; done
