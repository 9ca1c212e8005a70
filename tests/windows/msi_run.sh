#!/usr/bin/env bash
# msi_run.sh BUILD_DIR: the Windows installer as a user meets it, under
# Wine in a prefix of the test's own (BUILD_DIR/wine-scratch, shared with
# the DPI test under a lock): installed silently for the machine, the
# installed dotvane.exe answers --version, the Start-menu shortcut and the
# Apps entry (version, publisher, icon) are there; a later version replaces
# it (one entry, the new version); removed, it leaves nothing in Program
# Files, the Start menu or the registry.  Judged by files and registry, not
# by msiexec's exit codes, which under Wine are not Windows'.
set -euo pipefail
build=$(cd "${1:?usage: msi_run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
msi=$build/package/dotvane-$version-x64.msi
[[ -f $msi ]] || { echo "msi_run: $msi is missing" >&2; exit 1; }
# shellcheck source=scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"
WINEPREFIX=$build/wine-scratch
# Wine would write menu entries for the shortcut onto this machine.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
work=$(mktemp -d)
cleanup() {
  dotvane_wine_down
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "msi_run: $*" >&2
  exit 1
}

dotvane_wine_down
dotvane_wine_up
installed="$WINEPREFIX/drive_c/Program Files/Dotvane"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Under Wine the machine's Start menu is the user's.
shortcuts() { find "$WINEPREFIX/drive_c" -ipath '*start menu*' -iname 'dotvane*.lnk' 2>/dev/null; }
# The keys below $1 that have a value $2 of "Dotvane", with their values
# as reg prints them ("Name  REG_SZ  value").
ours() {
  wine reg query "$1" /s 2>/dev/null | tr -d '\r' | awk -v field="$2" '
    /^HKEY_/ { if (ours) printf "%s", block; block = ""; ours = 0 }
    { block = block $0 "\n" }
    $1 == field && $3 == "Dotvane" { ours = 1 }
    END { if (ours) printf "%s", block }'
}
# Our entries under the uninstall key, and Windows Installer's own record
# of the product, where Settings > Apps finds its icon (ARPPRODUCTICON).
entries() { ours "$uninstall" DisplayName; }
product() { ours 'HKLM\Software\Classes\Installer\Products' ProductName; }
value() { awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
# A Windows path as a path of the prefix.
unix_path() { sed -e 's|^[Cc]:|'"$WINEPREFIX"'/drive_c|' -e 's|\\|/|g'; }

# Whatever an earlier run that was stopped halfway left installed.
for code in $(entries | sed -n 's/^HKEY_.*\\\({[0-9A-Fa-f-]*}\)$/\1/p'); do
  wine msiexec /x "$code" /qn >/dev/null 2>&1 || true
done
[[ -z $(entries) ]] || fail "cannot remove what an earlier run installed"

wine msiexec /i "$msi" /qn /l*v "$work/install.log" || true
[[ -f $installed/dotvane.exe ]] || fail "dotvane.exe was not installed (log: $(tail -5 "$work/install.log"))"
out=$(wine "$installed/dotvane.exe" --version 2>&1) || fail "the installed dotvane.exe --version failed: $out"
[[ $out == *"dotvane $version"* ]] || fail "the installed dotvane.exe says \"$out\""
[[ -n $(shortcuts) ]] || fail "no Start-menu shortcut"
echo "installed: $(shortcuts | sed "s|$WINEPREFIX/||")"
entries
[[ $(entries | value DisplayVersion) == "$version" ]] || fail "the Apps entry's version is not $version"
[[ $(entries | value Publisher) == Orvanta ]] || fail "the Apps entry's publisher is not Orvanta"
icon=$(product | value ProductIcon | unix_path)
[[ $icon == *.ico && -s $icon ]] || fail "the Apps entry has no icon (\"$icon\")"
cmp -s "$icon" "$here/../../resources/ui/dotvane.ico" || fail "the Apps entry's icon is not the program's"

# A later version replaces this one: the same upgrade code, a new product.
next=${version%.*}.$((${version##*.} + 1))
bash "$here/../../packaging/windows/make_msi.sh" "$build/app/dotvane.exe" "$next" "$work/next.msi"
wine msiexec /i "$work/next.msi" /qn || true
[[ $(entries | grep -c '^HKEY_') -eq 1 ]] || fail "two Apps entries after the upgrade"
[[ $(entries | value DisplayVersion) == "$next" ]] || fail "after the upgrade the entry is not $next"
[[ -f $installed/dotvane.exe ]] || fail "the upgrade removed dotvane.exe"

wine msiexec /x "$work/next.msi" /qn || true
[[ ! -e $installed ]] || fail "left in Program Files: $(ls -A "$installed")"
[[ -z $(shortcuts) ]] || fail "left in the Start menu: $(shortcuts)"
[[ -z $(entries) ]] || fail "left in the uninstall keys"
[[ -z $(product) ]] || fail "left in Windows Installer's products"
[[ ! -e $icon ]] || fail "the Apps icon was left behind"
if wine reg query 'HKLM\Software\Orvanta\Dotvane' >/dev/null 2>&1; then fail "left in HKLM\\Software\\Orvanta"; fi
echo "msi_run: installed, upgraded to $next and removed without a trace"
