#!/usr/bin/env bash
# Checks the Debian package from its files, without installing it: builds it
# (tools/package.sh), runs lintian (no error may remain; every tag shown,
# overridden ones included), desktop-file-validate and appstreamcli validate,
# unpacks both packages with dpkg-deb -x into a temporary folder and, with the
# unpacked programs and libraries only, checks that they take their
# libraries from there and carry no run path, that the -dev package builds a
# program through pkg-config, --version, --list against the unpacked
# emulator, a whole update of the emulated projector (its flash then equals
# the image from 0x4000 on, the boot sector untouched), that the man pages
# render with man -l and that the bash completions parse.
#
# Usage: bash tools/package-check.sh
# Exit status 0 only when every check passes.

# SPDX-License-Identifier: MIT
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS
failures=0
ok() { echo "OK: $*"; }
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
say() { printf '\n=== %s\n' "$*"; }

say "Building the package"
bash "$repo/tools/package.sh"
out=$repo/build/package
version=$(dpkg-parsechangelog -l "$repo/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
main_deb=$out/tz4817-updater_${version}_$arch.deb
dev_deb=$out/tz4817-updater-dev_${version}_$arch.deb
for deb in "$main_deb" "$dev_deb"; do
  [ -f "$deb" ] || { echo "package-check: $deb was not built" >&2; exit 1; }
done

say "lintian"
if lintian -I -E --pedantic --show-overrides --fail-on error "$out/tz4817-updater_${version}_$arch.changes"; then
  ok "lintian reports no error"
else
  fail "lintian reports errors"
fi

work=$(mktemp -d)
source "$repo/tools/emulator.sh"
cleanup() {
  emulator_stop
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
dpkg-deb -x "$main_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"
bin=$root/usr/bin
lib=$root/usr/lib/$multiarch

say "Desktop entry and AppStream metainfo"
desktop_files=("$root"/usr/share/applications/*.desktop)
metainfo_files=("$root"/usr/share/metainfo/*.metainfo.xml)
desktop-file-validate "${desktop_files[@]}" && ok "desktop-file-validate ${desktop_files[*]##*/}" ||
  fail "desktop-file-validate"
appstreamcli validate --no-net "${metainfo_files[@]}" && ok "appstreamcli validate ${metainfo_files[*]##*/}" ||
  fail "appstreamcli validate"
grep -qx 'Exec=OstranUpdater %f' "${desktop_files[@]}" && ok "the desktop entry passes the chosen file" ||
  fail "the desktop entry has no 'Exec=OstranUpdater %f'"
icon=$(sed -n 's/^Icon=//p' "${desktop_files[@]}")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] && ok "icon $icon in the hicolor theme" ||
  fail "no icon $icon.svg in the hicolor theme"
[ -f "$root/usr/lib/udev/rules.d/70-tz4817.rules" ] && ok "udev rule in /usr/lib/udev/rules.d" ||
  fail "no udev rule in /usr/lib/udev/rules.d"

say "Programs and libraries of the unpacked package"
export LD_LIBRARY_PATH=$lib
for program in OstranUpdater tz4817-update tz4817-emu; do
  [ -x "$bin/$program" ] || { fail "$program is not in /usr/bin"; continue; }
  if readelf -d "$bin/$program" | grep -Eq '\((RPATH|RUNPATH)\)'; then
    fail "$program carries a run path"
  fi
  # Every library of the project comes from the unpacked tree.
  unresolved=$(ldd "$bin/$program" | awk '/libqrv/ && index($3, "'"$lib"'/") != 1')
  [ -z "$unresolved" ] || fail "$program takes its libraries from elsewhere: $unresolved"
  shown=$("$bin/$program" --version)
  [ "$shown" = "$program $version" ] && ok "$program --version: $shown" ||
    fail "$program --version printed '$shown', not '$program $version'"
done
for library in qrvdldll qrvusbdll; do
  soname=$(readelf -d "$lib/lib$library.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$library.so.${version%%.*}" ] && ok "lib$library: SONAME $soname" ||
    fail "lib$library has SONAME '$soname'"
done
# The -dev package: a program built through pkg-config against the headers and
# libraries of the unpacked tree.
cat >"$work/uses_libraries.c" <<'PROGRAM'
#include <qrvdl.h>
#include <qrvusb.h>
int main(void) { return (QRV_USBTerm != 0 && QRVDL_LoadFlash != 0) ? 0 : 1; }
PROGRAM
if flags=$(PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root pkg-config --cflags --libs qrvdldll qrvusbdll) &&
  gcc -o "$work/uses_libraries" "$work/uses_libraries.c" $flags && "$work/uses_libraries"; then
  ok "the -dev package links a program ($flags)"
else
  fail "no program links with the -dev package"
fi

say "An update of the emulated projector with the unpacked programs"
mkdir -p "$work/run" "$work/firmware"
image=$work/firmware/tz4817.img
flash=$work/run/projector-flash.bin
"$bin/tz4817-emu" --make-image "$image"
if ! emulator_start "$work/emulator.log" 10 "$bin/tz4817-emu" --listen 127.0.0.1:0 --flash "$flash" --reboot-ms 500; then
  cat "$work/emulator.log" >&2
  echo "package-check: the unpacked emulator did not start" >&2
  exit 1
fi
cp "$flash" "$work/factory-flash.bin"
address=$emulator_address
export QRV_USBIP=$address
listed=$("$bin/tz4817-update" --list)
echo "$listed"
if echo "$listed" | grep -Eq "^1-1 +e7a2:051e +application +USB/IP server $address\$"; then
  ok "tz4817-update --list shows the emulated projector"
else
  fail "tz4817-update --list does not show the emulated projector"
fi
status=0
# The image named by its folder, from another working directory.
(cd "$work/run" && "$bin/tz4817-update" --yes "$work/firmware") >"$work/update.log" 2>&1 || status=$?
tail -n 3 "$work/update.log"
[ $status -eq 0 ] && ok "tz4817-update ended with status 0" || fail "tz4817-update ended with status $status"
# The download reads a private copy of the image it checked (File[/proc/self/fd/N]).
grep -qxE "File\[/proc/self/fd/[0-9]+\] Size\[$(stat -c %s "$image")\]" "$work/update.log" &&
  ok "the update read a private copy of $image" || fail "the update did not read a private copy of $image"
emulator_stop
if [ "$(stat -c %s "$flash")" = "$(stat -c %s "$image")" ] && cmp -s -i 16384 "$flash" "$image"; then
  ok "the flash equals the image from 0x4000 on"
else
  fail "the flash differs from the image after 0x4000"
fi
cmp -s -n 16384 "$flash" "$work/factory-flash.bin" && ok "the boot sector is untouched" ||
  fail "the boot sector was changed"

say "Man pages and bash completion"
for program in OstranUpdater tz4817-update tz4817-emu; do
  page=$root/usr/share/man/man1/$program.1.gz
  if [ -f "$page" ] && MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$page" >"$work/page.txt" 2>"$work/page.err" &&
    [ ! -s "$work/page.err" ] && grep -q '^NAME' "$work/page.txt" && grep -q '^SYNOPSIS' "$work/page.txt"; then
    ok "man -l $program.1.gz ($(wc -l <"$work/page.txt") lines)"
  else
    cat "$work/page.err" >&2 2>/dev/null || true
    fail "the man page of $program does not render"
  fi
done
for program in tz4817-update tz4817-emu; do
  completion=$root/usr/share/bash-completion/completions/$program
  [ -f "$completion" ] && bash -n "$completion" && ok "bash completion of $program" ||
    fail "no bash completion of $program that bash reads"
done

echo
echo "package-check: $((SECONDS - started)) seconds"
if [ $failures -ne 0 ]; then
  echo "package-check: $failures check(s) FAILED" >&2
  exit 1
fi
echo "package-check: the package passed every check"
