#!/usr/bin/env bash
# run_gui_test.sh SCRIPT LIMIT_S DOTVANE DOTVANE_EMULATE [SCENARIO...]: runs
# the test SCRIPT (next to this file) on a virtual display of its own
# (tools/with-virtual-display.sh), killed outright after LIMIT_S seconds:
# a stuck AT-SPI call ignores every other signal.  Debian's /usr/bin/python3
# is used on purpose: pyatspi and Orca belong to it.
set -euo pipefail
usage="usage: run_gui_test.sh SCRIPT LIMIT_S DOTVANE DOTVANE_EMULATE [SCENARIO...]"
script=${1:?$usage}
limit_s=${2:?$usage}
export DOTVANE=${3:?$usage}
export DOTVANE_EMULATE=${4:?$usage}
shift 4
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../../tools/with-virtual-display.sh" "$limit_s" /usr/bin/python3 "$here/$script" "$@"
