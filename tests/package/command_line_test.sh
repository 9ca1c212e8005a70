#!/usr/bin/env bash
# dotvane's options: each prints and ends at once with its status, before
# any window or USB device is touched (stdin is empty and no display is
# named, so a program that went on to run the update would print its
# interface and fail these checks).
set -euo pipefail
dotvane=${1:?usage: command_line_test.sh DOTVANE VERSION}
version=${2:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# run ARGS...: sets status, out and err.
run() {
  status=0
  env -u DISPLAY -u WAYLAND_DISPLAY DOTVANE_UI=text XDG_STATE_HOME="$work/state" \
    timeout 20 "$dotvane" "$@" </dev/null >"$work/out" 2>"$work/err" || status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

run --version
[[ $status -eq 0 && $out == "dotvane $version, firmware image "[0-9].[0-9][0-9] && -z $err ]] ||
  fail "--version: status $status, out '$out', err '$err'"

run --help
[[ $status -eq 0 && $out == *"Usage: dotvane [OPTIONS]"* && $out == *"--history"* && $out == *"Exit status:"* && -z $err ]] ||
  fail "--help: status $status, err '$err'"

for wrong in --bogus extra; do
  run "$wrong"
  [[ $status -eq 2 && -z $out && $err == *"Usage: dotvane [OPTIONS]"* ]] ||
    fail "$wrong: status $status, out '$out', err '$err'"
done

run --history
[[ $status -eq 0 && $out == "No firmware update has been recorded in $work/state/dotvane/history.jsonl." ]] ||
  fail "--history without a history: status $status, out '$out', err '$err'"

mkdir -p "$work/state/dotvane/history.jsonl"  # a folder where the file should be
run --history
[[ $status -eq 1 && $err == *"cannot read $work/state/dotvane/history.jsonl"* ]] ||
  fail "--history that cannot be read: status $status, out '$out', err '$err'"
echo "dotvane's options behave"
