#!/usr/bin/env bash
# The Debian package on this machine: built from this build with CPack,
# checked by lintian, installed, its dotvane run, its udev rule, manual page,
# menu entry and metainfo checked where the system reads them, then purged,
# leaving nothing it installed.  Needs root; the package is purged on every
# way out, failures included.
set -euo pipefail
build=${1:?usage: package_test.sh BUILD_DIR VERSION VENDOR PRODUCT}
version=${2:?}
vendor=${3:?}   # lower-case hex, as udev shows it
product=${4:?}

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: installing a package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' dotvane 2>/dev/null | grep -q 'installed'; then
  echo "skipped: a dotvane package is already installed here, and is not this test's to remove"
  exit 77
fi

work=$(mktemp -d)
installed=no
cleanup() {
  if [[ $installed == yes ]]; then dpkg --purge dotvane >/dev/null 2>&1 || echo "could not purge dotvane" >&2; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Built into a folder of its own, so the package of scripts/package.sh stays.
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; }
deb=$work/package/dotvane_${version}_amd64.deb
[[ -f $deb ]] || fail "no $deb: $(ls "$work/package")"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

echo "--- lintian (errors and warnings fail; information is listed)"
lintian --display-info --fail-on error,warning "$deb" || fail "lintian"

# What the package holds, and which of its folders were here before it.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^$' | grep -v '^/$' >"$work/paths"
while read -r path; do
  if [[ -e $path ]]; then echo "$path"; fi
done <"$work/paths" >"$work/before"
grep -qx /usr/bin/dotvane "$work/before" && fail "/usr/bin/dotvane exists before the package is installed"

echo "--- install"
installed=yes
dpkg -i "$deb" || fail "dpkg -i"

out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE LC_ALL=C timeout 20 dotvane --version </dev/null)
[[ $(command -v dotvane) == /usr/bin/dotvane && $out == "dotvane $version, firmware image "* ]] ||
  fail "installed dotvane --version: '$out'"
echo "installed: $out"
# The catalogues, found from the installed program (C.UTF-8: glibc ignores
# LANGUAGE in the C locale).
for lang in de es fr; do
  [[ -f /usr/share/locale/$lang/LC_MESSAGES/dotvane.mo ]] || fail "no $lang catalogue"
done
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u LC_ALL LANG=C.UTF-8 LANGUAGE=de timeout 20 dotvane --version </dev/null)
[[ $out == "dotvane $version, Firmware-Abbild "* ]] || fail "installed dotvane --version in German: '$out'"
echo "in German: $out"
grep -qx 'GenericName\[de\]=Firmware-Aktualisierung für Braille-Zeilen' /usr/share/applications/dotvane.desktop ||
  fail "the menu entry has no German name"
grep -q '<summary xml:lang="fr">' /usr/share/metainfo/com.orvanta.dotvane.metainfo.xml ||
  fail "the metainfo has no French summary"
file_info=$(file -b /usr/bin/dotvane)
[[ $file_info == *", stripped"* ]] || fail "/usr/bin/dotvane is not stripped: $file_info"

# udev reads packaged rules from /usr/lib/udev/rules.d (and, on Debian 12, /lib/udev/rules.d).
rule=$(ls /usr/lib/udev/rules.d/70-dotvane.rules 2>/dev/null || ls /lib/udev/rules.d/70-dotvane.rules)
grep -v '^#' "$rule" | grep -q "ATTR{idVendor}==\"$vendor\", ATTR{idProduct}==\"$product\", TAG+=\"uaccess\"" ||
  fail "$rule does not give the display $vendor:$product to the seat: $(cat "$rule")"
echo "udev rule: $rule"

page=$(man -w dotvane)
[[ $page == /usr/share/man/man1/dotvane.1.gz ]] || fail "man -w dotvane: $page"
warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
[[ -z $warnings ]] || fail "dotvane(1) renders with warnings: $warnings"

appstreamcli validate --no-net /usr/share/metainfo/com.orvanta.dotvane.metainfo.xml || fail "appstreamcli validate"
grep -q "<modalias>usb:v${vendor^^}p${product^^}d\*</modalias>" /usr/share/metainfo/com.orvanta.dotvane.metainfo.xml ||
  fail "the metainfo does not provide the display's modalias"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate /usr/share/applications/dotvane.desktop || fail "desktop-file-validate"
fi
for size in 16 24 32 48 64 128 256; do
  [[ -f /usr/share/icons/hicolor/${size}x${size}/apps/dotvane.png ]] || fail "no ${size}x${size} icon"
done
[[ -f /usr/share/icons/hicolor/scalable/apps/dotvane.svg && -f /usr/share/doc/dotvane/README.md ]] ||
  fail "the SVG icon or the README is missing"
dpkg-query -W -f='${Depends}\n' dotvane | grep -q umockdev && fail "the package depends on umockdev"

echo "--- purge"
dpkg --purge dotvane || fail "dpkg --purge"
installed=no
left=$(while read -r path; do
  if [[ -e $path || -L $path ]] && ! grep -qxF "$path" "$work/before"; then echo "$path"; fi
done <"$work/paths")
[[ -z $left ]] || fail "left behind after the purge: $left"
dpkg-query -W dotvane >/dev/null 2>&1 && fail "dpkg still knows dotvane"
echo "the package installs, works and leaves nothing behind"
