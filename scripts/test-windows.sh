#!/usr/bin/env bash
# Runs every test of build/windows under Wine: the portable suites, the
# Windows back ends' and the programs', the last in their Win32 dialogs on
# the X display in DISPLAY (scripts/test.sh gives it a virtual one).
# Wine's server starts here, on that display, before any test does.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
dotvane_wine_down  # a server the build left running has no display
dotvane_wine_up
trap dotvane_wine_down EXIT
ctest --test-dir build/windows --output-on-failure -j "$(nproc)" --timeout 300
