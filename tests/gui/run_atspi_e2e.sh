#!/usr/bin/env bash
# run_atspi_e2e.sh DOTVANE DOTVANE_EMULATE [SCENARIO...]: the AT-SPI test.
# Four scenarios of at most 90 s each; the whole run is killed at 420 s.
exec "$(dirname "$0")/run_gui_test.sh" atspi_e2e.py "${DOTVANE_ATSPI_LIMIT_S:-420}" "$@"
