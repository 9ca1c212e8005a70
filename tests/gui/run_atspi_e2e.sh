#!/usr/bin/env bash
# run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]: runs atspi_e2e.py
# on a virtual display of its own, with a window manager (openbox, so that
# windows really get the keyboard focus) and, inside one dbus-run-session,
# the session bus from which the accessibility bus starts on demand.
# Debian's /usr/bin/python3 is used on purpose: it is the one with pyatspi.
set -euo pipefail

export DOTVANE=${1:?usage: run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]}
export DOTVANE_EMULATE=${2:?usage: run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# Three scenarios of at most 90 s each; a hang past this is killed outright,
# because a stuck AT-SPI call ignores every other signal.
whole_limit_s=${DOTVANE_ATSPI_LIMIT_S:-330}

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to the descriptor
# given with -displayfd, so parallel runs never collide.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
display=
for _ in $(seq 100); do
  display=$(cat "$work/display")
  [[ -n $display ]] && xdpyinfo -display ":$display" >/dev/null 2>&1 && break
  display=
  sleep 0.1
done
if [[ -z $display ]]; then
  echo "run_atspi_e2e: Xvfb did not answer within 10 s" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$display"
unset NO_AT_BRIDGE WAYLAND_DISPLAY GTK_MODULES
echo "run_atspi_e2e: display $DISPLAY"

# openbox is started in the background inside the session and goes with it.
# shellcheck disable=SC2016  # the inner script expands its own arguments
timeout -s KILL "$whole_limit_s" dbus-run-session -- bash -c '
  openbox --sm-disable >"$1/openbox.log" 2>&1 &
  openbox_pid=$!
  shift
  status=0
  /usr/bin/python3 "$@" || status=$?
  kill "$openbox_pid" 2>/dev/null
  wait "$openbox_pid" 2>/dev/null
  exit "$status"
' bash "$work" "$here/atspi_e2e.py" "$@"
