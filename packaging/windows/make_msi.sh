#!/usr/bin/env bash
# make_msi.sh PROGRAM VERSION OUTPUT: the Windows installer of PROGRAM
# (dotvane.exe) as version VERSION, from dotvane.wxs, with wixl.  The one
# place that knows how: the build (target dotvane-msi), scripts/package.sh
# (after signing the program) and the installer test call it.
set -euo pipefail
program=${1:?usage: make_msi.sh PROGRAM VERSION OUTPUT}
version=${2:?}
output=${3:?}
here=$(cd "$(dirname "$0")" && pwd)
icon=$(cd "$here/../../resources/ui" && pwd)/dotvane.ico
# The first version a later package must not replace: the next third part
# (Windows Installer ignores the fourth).
IFS=. read -r major minor build _ <<<"$version"
upgrade_below=$major.$minor.$((build + 1))
mkdir -p "$(dirname "$output")"
program=$(realpath "$program")
output=$(realpath "$output")
# wixl finds the files it packs by paths relative to the current folder
# only (an absolute one is "not found"): from / every path is one.
cd /
wixl --arch x64 \
  --define Version="$version" \
  --define UpgradeBelow="$upgrade_below" \
  --define Program="${program#/}" \
  --define Icon="${icon#/}" \
  --define Url=https://dotvane.orvanta.com \
  --output "$output.part" "$here/dotvane.wxs"
mv "$output.part" "$output"
