#!/usr/bin/env bash
# parent_console.sh STATUS EXPECTED PARENT PROGRAM [ARGS...]: runs PROGRAM
# (a Windows program with windows) the way cmd.exe does, from PARENT
# (console_parent.exe) in a console with no standard handles given, and
# passes when it exits with STATUS and EXPECTED appears on that console.
# Wine gives a console program a console only on a terminal: script(1)
# lends it one.  The Wine prefix comes from the environment.
set -euo pipefail
status=${1:?usage: parent_console.sh STATUS EXPECTED PARENT PROGRAM [ARGS...]}
expected=${2:?}
shift 2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
command=$(printf '%q ' env WINEDEBUG=-all timeout 120 wine "$@")
actual=0
script -qec "$command" /dev/null >"$out" 2>&1 </dev/null || actual=$?
# The console's own cursor and colour sequences, and its line ends, out.
text=$(sed -e 's/\x1b\[[?0-9;]*[A-Za-z]//g' "$out" | tr -d '\r')
echo "$text"
if [[ $actual -ne $status ]]; then
  echo "parent_console: exit status $actual, expected $status" >&2
  exit 1
fi
if ! grep -qF -- "$expected" <<<"$text"; then
  echo "parent_console: \"$expected\" did not reach the console" >&2
  exit 1
fi
