#!/usr/bin/env bash
# run_orca_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]: runs orca_e2e.py on
# a virtual display of its own (tools/with-virtual-display.sh), with
# Debian's /usr/bin/python3 (the one Orca and pyatspi belong to).
set -euo pipefail

export DOTVANE=${1:?usage: run_orca_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]}
export DOTVANE_EMULATE=${2:?usage: run_orca_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# Three scenarios of at most 150 s each; a hang past this is killed outright.
whole_limit_s=${DOTVANE_ORCA_LIMIT_S:-480}
exec "$here/../../tools/with-virtual-display.sh" "$whole_limit_s" /usr/bin/python3 "$here/orca_e2e.py" "$@"
