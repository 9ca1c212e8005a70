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
# run ARGS...: sets status, out and err.  English, whatever the machine's
# locale, unless language names a catalogue (then with C.UTF-8, as glibc
# ignores LANGUAGE in the C locale).
language=
run() {
  status=0
  local locale=(LC_ALL=C)
  [[ -n $language ]] && locale=(LC_ALL= LANG=C.UTF-8 LANGUAGE="$language")
  env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE "${locale[@]}" DOTVANE_UI=text XDG_STATE_HOME="$work/state" \
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

# In German: the help, the version text and the history's sentences.
language=de
run --help
[[ $status -eq 0 && $out == *"Aufruf: dotvane [OPTIONEN]"* && $out == *"Optionen:"* && $out == *"Rückgabewert:"* &&
   $out == *"--history"* && -z $err ]] || fail "--help in German: status $status, out '$out', err '$err'"
run --version
[[ $status -eq 0 && $out == "dotvane $version, Firmware-Abbild "[0-9].[0-9][0-9] ]] ||
  fail "--version in German: status $status, out '$out', err '$err'"
run --history
[[ $status -eq 0 && $out == "In $work/state/dotvane/history.jsonl ist keine Firmware-Aktualisierung verzeichnet." ]] ||
  fail "--history in German: status $status, out '$out', err '$err'"
language=

mkdir -p "$work/state/dotvane/history.jsonl"  # a folder where the file should be
run --history
[[ $status -eq 1 && $err == *"cannot read $work/state/dotvane/history.jsonl"* ]] ||
  fail "--history that cannot be read: status $status, out '$out', err '$err'"
echo "dotvane's options behave"
