#!/usr/bin/env bash
# heard_run.sh SCENARIO BUILD_DIR PYTHON: one gui_run.sh scenario of the
# demo under heard_watch.exe, then heard_check.py on what it heard; prints
# the whole record.  Skips (77) without a display, as gui_run.sh does.
set -euo pipefail
scenario=${1:?usage: heard_run.sh update|refusal|failure BUILD_DIR PYTHON}
build=${2:?}
python=${3:-python3}
[[ -n ${DISPLAY:-} ]] || { echo "heard_run: no DISPLAY; skipped" >&2; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
record=$(mktemp "${TMPDIR:-/tmp}/dotvane-heard-$scenario.XXXXXX")
trap 'rm -f "$record"' EXIT
DOTVANE_HEARD_LOG=$record "$here/gui_run.sh" "$scenario" "$build"
echo "--- heard through $scenario:"
cat "$record"
"$python" "$here/heard_check.py" "$scenario" "$record"
