#!/usr/bin/env bash
# dpi_run.sh BUILD_DIR: every dialog of the program at 96 and at 144 DPI
# (150 %, Windows' usual scale on laptops), under Wine on the X display in
# DISPLAY.  At each scale the dialog test of windows_ui_tests checks that
# every control lies inside its dialog and every text fits its control;
# between the scales, each dialog and each of its controls must have grown
# 1.5 times, to within the rounding of dialog units (a font is a whole
# number of pixels high: Tahoma 8 is 13 pixels at 96 DPI and 19, not 19.5,
# at 144, so a 14-unit button goes from 23 to 33 pixels).  With DOTVANE_PICTURES
# set, pictures of the main window and the download dialog of
# dotvane-demo.exe at both scales go there.
#
# The scale is Wine's LogPixels, which belongs to a prefix: this test has
# its own (BUILD_DIR/wine-scratch, made once, shared with the installer
# test under a lock), so the other tests keep theirs at 96.  Without
# DISPLAY it skips (exit 77).
set -euo pipefail
build=$(cd "${1:?usage: dpi_run.sh BUILD_DIR}" && pwd)
[[ -n ${DISPLAY:-} ]] || { echo "dpi_run: no DISPLAY; skipped" >&2; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"
WINEPREFIX=$build/wine-scratch
work=$(mktemp -d)
cleanup() {
  dotvane_wine_down
  rm -rf "$work"
}
trap cleanup EXIT

log() { echo "dpi_run: $*" >&2; }

# The id of the newest visible window whose title is exactly $1, within 30 s.
window() {
  local id
  for _ in $(seq 300); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -1 || true)
    [[ -n $id ]] && { echo "$id"; return 0; }
    sleep 0.1
  done
  log "no window \"$1\""
  return 1
}

key() {
  xdotool windowactivate "$1" >/dev/null 2>&1 || true
  sleep 0.2
  xdotool key --clearmodifiers "$2"
}

pictures() {
  local dpi=$1 main download status=0
  wine "$build/app/dotvane-demo.exe" &
  local program=$!
  main=$(window "Orvanta Braille Display Firmware Update 5.71")
  sleep 1
  import -window "$main" -frame -strip -define png:compression-level=9 "$DOTVANE_PICTURES/windows-main-window-${dpi}dpi.png"
  for _ in 1 2 3 4 5; do
    key "$main" Return
    download=$(window "Firmware Update") && break
  done
  sleep 1
  import -window "$download" -frame -strip -define png:compression-level=9 "$DOTVANE_PICTURES/windows-download-${dpi}dpi.png"
  log "wrote the pictures at $dpi dpi"
  key "$download" Escape  # Cancel
  sleep 0.5
  key "$main" Escape      # Exit
  wait "$program" || status=$?
  [[ $status -eq 1 ]] || { log "dotvane-demo.exe exited with $status"; return 1; }
}

dotvane_wine_down  # a server the build left running has no display
dotvane_wine_up
for dpi in 96 144; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
  # Read when the server starts.
  dotvane_wine_down
  dotvane_wine_up
  DOTVANE_DPI_REPORT="$work/$dpi.txt" wine "$build/tests/ui/win32/windows_ui_tests.exe" \
    --gtest_filter=Win32DpiTest.EveryDialogHoldsItsTextsAtThisScale
  [[ -z ${DOTVANE_PICTURES:-} ]] || pictures "$dpi"
done

# "<dialog> <class> <id.place> <width> <height> <font height>" at each scale.
awk '
  NR == FNR { width[$1 " " $2 " " $3] = $4; height[$1 " " $2 " " $3] = $5; next }
  {
    key = $1 " " $2 " " $3
    if (!(key in width)) { print "dpi_run: " key " is missing at 96 dpi"; bad = 1; next }
    seen[key] = 1
    rw = $4 / width[key]; rh = $5 / height[key]
    printf "dialog %s %-8s %-9s %4dx%-4d -> %4dx%-4d (%.2f x %.2f)\n", $1, $2, $3, width[key], height[key], $4, $5, rw, rh
    if (rw < 1.4 || rw > 1.6 || rh < 1.4 || rh > 1.6) { print "dpi_run: " key " did not grow 1.5 times"; bad = 1 }
  }
  END {
    for (key in width) if (!(key in seen)) { print "dpi_run: " key " is missing at 144 dpi"; bad = 1 }
    if (length(width) == 0) { print "dpi_run: nothing was measured"; bad = 1 }
    exit bad
  }
' "$work/96.txt" "$work/144.txt"
