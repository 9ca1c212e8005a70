#!/usr/bin/env bash
# tools/screenshots-windows.sh: pictures of the Windows programs' Win32
# dialogs for the README, taken under Wine on a virtual display, into
# docs/pictures/windows-*.png: the dialogs at 96 DPI, the write in progress
# on a slow display, and the main window and download dialog at 96 and 144
# DPI.  The dialogs are driven by keys, as the Windows tests drive them
# (tests/windows/gui_run.sh, tests/windows/dpi_run.sh).  Needs a Windows
# build (bash scripts/build.sh windows) and Xvfb, openbox, xdotool and
# imagemagick (scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
for program in build/windows/app/dotvane.exe build/windows/app/dotvane-demo.exe; do
  [[ -f $program ]] || { echo "screenshots-windows: $program is missing; build it first" >&2; exit 1; }
done
export DOTVANE_PICTURES=$PWD/docs/pictures
mkdir -p "$DOTVANE_PICTURES"
# shellcheck disable=SC2016  # the inner script expands its own variables
tools/with-virtual-display.sh 600 bash -c '
  source scripts/wine-env.sh
  dotvane_wine_down  # a server started without this display cannot show windows on it
  dotvane_wine_up
  trap dotvane_wine_down EXIT
  bash tests/windows/gui_run.sh update "$PWD/build/windows"
  bash tests/windows/gui_run.sh slow-update "$PWD/build/windows"
  bash tests/windows/gui_run.sh no-display "$PWD/build/windows"
  dotvane_wine_down
  bash tests/windows/dpi_run.sh "$PWD/build/windows"
'
