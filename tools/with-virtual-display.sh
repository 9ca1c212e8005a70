#!/usr/bin/env bash
# with-virtual-display.sh LIMIT_S COMMAND [ARGS...]: runs COMMAND on a
# virtual display of its own, with a window manager (openbox, so that
# windows really get the keyboard focus), inside one dbus-run-session (the
# session bus from which the accessibility bus starts on demand).  The whole
# run is killed after LIMIT_S seconds, outright: a stuck AT-SPI call ignores
# every other signal.  Exits with COMMAND's status.
set -euo pipefail

limit_s=${1:?usage: with-virtual-display.sh LIMIT_S COMMAND [ARGS...]}
shift
(($#)) || { echo "with-virtual-display: no command" >&2; exit 2; }

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
  echo "with-virtual-display: Xvfb did not answer within 10 s" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$display"
unset NO_AT_BRIDGE WAYLAND_DISPLAY GTK_MODULES
echo "with-virtual-display: display $DISPLAY" >&2

status=0
# shellcheck disable=SC2016  # the inner script expands its own arguments
timeout -s KILL "$limit_s" dbus-run-session -- bash -c '
  openbox --sm-disable >"$1/openbox.log" 2>&1 &
  openbox_pid=$!
  shift
  status=0
  "$@" || status=$?
  kill "$openbox_pid" 2>/dev/null
  wait "$openbox_pid" 2>/dev/null
  exit "$status"
' bash "$work" "$@" || status=$?
exit "$status"
