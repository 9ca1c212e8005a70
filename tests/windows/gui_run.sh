#!/usr/bin/env bash
# gui_run.sh SCENARIO BUILD_DIR: drives the Windows programs of a build in
# their Win32 dialogs under Wine, on the X display in DISPLAY (a virtual
# one: tools/with-virtual-display.sh), with keys alone, as a user would.
#   update     dotvane-demo.exe: Return on Update Firmware..., Space on
#              Start Download, Return on the "Download Done" box, Escape
#              (Exit); passes when it exits with 0
#   slow-update the same with a display that takes 600 ms per chunk
#              (dotvane-demo.exe --chunk-delay 600), to see the write in
#              progress: Space on Start Download, a picture halfway, then
#              as above
#   no-display dotvane.exe with no display (and no display maker's driver):
#              the "Braille Display Not Found" prompt, Escape (Cancel);
#              passes when it exits with 1
#   refusal    dotvane-demo.exe --display-version 4.70: Return on Update
#              Firmware..., Return on the "ERROR" box, Escape (Exit);
#              passes when it exits with 1
#   failure    dotvane-demo.exe --fail-download: as update, up to the
#              "ERROR" box of the failed write, Return, Escape (Exit);
#              passes when it exits with 1
# With DOTVANE_HEARD_LOG set, the program runs under heard_watch.exe (from
# the build), which writes there what a screen reader would be told.
# With DOTVANE_PICTURES set, takes pictures of the windows on the way
# (tools/screenshots-windows.sh).  Without DISPLAY it skips (exit 77).  The
# Wine prefix, whose server must have been started on this display, comes
# from the environment (scripts/wine-env.sh).
set -euo pipefail
scenario=${1:?usage: gui_run.sh update|slow-update|no-display BUILD_DIR}
build=${2:?}
[[ -n ${DISPLAY:-} ]] || { echo "gui_run: no DISPLAY; skipped" >&2; exit 77; }
export WINEDEBUG=-all
# English windows whatever the machine's locale: Wine takes the display language from it.
export LC_ALL=C.UTF-8

log() { echo "gui_run: $*" >&2; }

# The id of the newest window whose title is exactly $1, waited for at most $2 s.
window() {
  local id
  for _ in $(seq $(($2 * 10))); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -1 || true)
    if [[ -n $id ]]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  log "no window \"$1\" within $2 s"
  return 1
}

# A window has been drawn once it is mapped; a moment lets Wine finish
# painting before keys or pictures.
settle() { sleep 0.5; }

picture() {
  [[ -n ${DOTVANE_PICTURES:-} ]] || return 0
  import -window "$1" -frame -strip -define png:compression-level=9 "$DOTVANE_PICTURES/$2"
  log "wrote $DOTVANE_PICTURES/$2"
}

# Keys go to the window that has the keyboard, as a user's would: the
# window is activated first (without --sync, which may wait for ever on a
# window the window manager will not activate).
key() {
  xdotool windowactivate "$1" >/dev/null 2>&1 || true
  sleep 0.2
  xdotool key --clearmodifiers "$2"
}

# Runs a program of the build in the background, under heard_watch.exe
# when DOTVANE_HEARD_LOG asks for it; its process id is in $program.
start() {
  if [[ -n ${DOTVANE_HEARD_LOG:-} ]]; then
    wine "$build/tests/windows/heard_watch.exe" "$DOTVANE_HEARD_LOG" "$@" &
  else
    wine "$@" &
  fi
  program=$!
}

# From the main window to the open download dialog: the display answers
# within milliseconds; until it has, Return may find nothing to update
# yet, so it is repeated until the dialog (or the box $2, if given) opens.
open_download() {
  local main=$1
  download=
  for _ in 1 2 3 4 5; do
    key "$main" Return
    download=$(window "${2:-Firmware Update}" 3) && break
  done
  [[ -n $download ]]
}

# finish_update [PICTURE]: the written demo's "Download Done" box (taken as
# PICTURE when one is named) answered with Return, then Escape on the main
# window $main; the demo must end with status 0.
finish_update() {
  local done_box
  done_box=$(window "Download Done" 60)
  settle
  [[ -z ${1:-} ]] || picture "$done_box" "$1"
  key "$done_box" Return
  settle
  key "$main" Escape
  wait "$program" || status=$?
  log "dotvane-demo.exe exited with $status"
  [[ $status -eq 0 ]]
}

status=0
case $scenario in
  update)
    start "$build/app/dotvane-demo.exe"
    main=$(window "Orvanta Braille Display Firmware Update 5.71" 30)
    settle
    # The display answers within milliseconds; until it has, Return may
    # find nothing to update yet, so it is repeated until the dialog opens.
    picture "$main" windows-main-window.png
    download=
    for _ in 1 2 3 4 5; do
      key "$main" F1
      if about=$(window "About Dotvane" 3); then
        settle
        picture "$about" windows-about.png
        key "$about" Return
        break
      fi
    done
    open_download "$main"
    settle
    picture "$download" windows-download.png
    key "$download" space  # the keyboard is on Start Download
    finish_update windows-download-done.png
    ;;
  slow-update)
    start "$build/app/dotvane-demo.exe" --chunk-delay 600
    main=$(window "Orvanta Braille Display Firmware Update 5.71" 30)
    settle
    open_download "$main"
    settle
    key "$download" space
    # 13 chunks of 600 ms: about half written after 4 s.
    sleep 4
    picture "$download" windows-download-progress.png
    finish_update
    ;;
  no-display)
    start "$build/app/dotvane.exe"
    prompt=$(window "Braille Display Not Found" 30)
    settle
    picture "$prompt" windows-plug-in.png
    key "$prompt" Escape
    wait "$program" || status=$?
    log "dotvane.exe exited with $status"
    [[ $status -eq 1 ]]
    ;;
  refusal)
    start "$build/app/dotvane-demo.exe" --display-version 4.70
    main=$(window "Orvanta Braille Display Firmware Update 5.71" 30)
    settle
    open_download "$main" ERROR
    settle
    key "$download" Return
    settle
    key "$main" Escape  # the keyboard is on Exit
    wait "$program" || status=$?
    log "dotvane-demo.exe exited with $status"
    [[ $status -eq 1 ]]
    ;;
  failure)
    start "$build/app/dotvane-demo.exe" --fail-download
    main=$(window "Orvanta Braille Display Firmware Update 5.71" 30)
    settle
    open_download "$main"
    settle
    key "$download" space
    error_box=$(window ERROR 60)
    settle
    key "$error_box" Return
    settle
    key "$main" Escape
    wait "$program" || status=$?
    log "dotvane-demo.exe exited with $status"
    [[ $status -eq 1 ]]
    ;;
  *)
    log "unknown scenario $scenario"
    exit 2
    ;;
esac
