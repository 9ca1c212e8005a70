#!/usr/bin/env bash
# run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]: runs atspi_e2e.py
# on a virtual display of its own (tools/with-virtual-display.sh).
# Debian's /usr/bin/python3 is used on purpose: it is the one with pyatspi.
set -euo pipefail

export DOTVANE=${1:?usage: run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]}
export DOTVANE_EMULATE=${2:?usage: run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# Three scenarios of at most 90 s each; a hang past this is killed outright,
# because a stuck AT-SPI call ignores every other signal.
whole_limit_s=${DOTVANE_ATSPI_LIMIT_S:-330}

# Debian's python3, on a virtual display with a window manager and a session bus.
exec "$here/../../tools/with-virtual-display.sh" "$whole_limit_s" /usr/bin/python3 "$here/atspi_e2e.py" "$@"
