#!/usr/bin/env bash
# run_scripted.sh STATUS EXPECTED PROGRAM [INPUT LINES...]: runs a Windows
# program of the build under Wine in its text interface, typing the input
# lines, and passes when it exits with STATUS having printed a line that
# contains EXPECTED.  The Wine prefix comes from the environment
# (scripts/wine-env.sh).  Wine takes the user's display language from the
# locale: C.UTF-8 (English) unless DOTVANE_TEST_LOCALE names another, such as
# de_DE.UTF-8 (Wine knows it even where the host has not generated it).
set -euo pipefail
status=${1:?usage: run_scripted.sh STATUS EXPECTED PROGRAM [LINES...]}
expected=${2:?}
program=${3:?}
shift 3
out=$(mktemp)
trap 'rm -f "$out"' EXIT
actual=0
printf '%s\n' "$@" | LC_ALL=${DOTVANE_TEST_LOCALE:-C.UTF-8} DOTVANE_UI=text WINEDEBUG=-all timeout 120 wine "$program" \
  >"$out" 2>&1 || actual=$?
cat "$out"
if [[ $actual -ne $status ]]; then
  echo "run_scripted: exit status $actual, expected $status" >&2
  exit 1
fi
if ! grep -qF -- "$expected" "$out"; then
  echo "run_scripted: no line with \"$expected\"" >&2
  exit 1
fi
