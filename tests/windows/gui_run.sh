#!/usr/bin/env bash
# gui_run.sh SCENARIO BUILD_DIR: drives the Windows programs of a build in
# their Win32 dialogs under Wine, on the X display in DISPLAY (a virtual
# one: tools/with-virtual-display.sh), with keys alone, as a user would.
#   update     dotvane-demo.exe: Return on Update Firmware..., Space on
#              Start Download, Return on the "Download Done" box, Escape
#              (Exit); passes when it exits with 0
#   no-display dotvane.exe with no display (and no display maker's driver):
#              the "Braille Display Not Found" prompt, Escape (Cancel);
#              passes when it exits with 1
# With DOTVANE_PICTURES set, takes pictures of the windows on the way
# (tools/screenshots-windows.sh).  Without DISPLAY it skips (exit 77).  The
# Wine prefix, whose server must have been started on this display, comes
# from the environment (scripts/wine-env.sh).
set -euo pipefail
scenario=${1:?usage: gui_run.sh update|no-display BUILD_DIR}
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

status=0
case $scenario in
  update)
    wine "$build/app/dotvane-demo.exe" &
    program=$!
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
    for _ in 1 2 3 4 5; do
      key "$main" Return
      download=$(window "Firmware Update" 3) && break
    done
    [[ -n $download ]]
    settle
    picture "$download" windows-download.png
    key "$download" space  # the keyboard is on Start Download
    done_box=$(window "Download Done" 60)
    settle
    picture "$done_box" windows-download-done.png
    key "$done_box" Return
    settle
    key "$main" Escape
    wait "$program" || status=$?
    log "dotvane-demo.exe exited with $status"
    [[ $status -eq 0 ]]
    ;;
  no-display)
    wine "$build/app/dotvane.exe" &
    program=$!
    prompt=$(window "Braille Display Not Found" 30)
    settle
    picture "$prompt" windows-plug-in.png
    key "$prompt" Escape
    wait "$program" || status=$?
    log "dotvane.exe exited with $status"
    [[ $status -eq 1 ]]
    ;;
  *)
    log "unknown scenario $scenario"
    exit 2
    ;;
esac
