#!/usr/bin/env bash
# run_orca_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]: the screen-reader
# test.  Six scenarios of at most 150 s each; the whole run is killed at 900 s
# (CTest runs one scenario a test, each killed at 200 s: DOTVANE_ORCA_LIMIT_S).
exec "$(dirname "$0")/run_gui_test.sh" orca_e2e.py "${DOTVANE_ORCA_LIMIT_S:-900}" "$@"
