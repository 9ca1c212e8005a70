#!/usr/bin/env bash
# Installs what is needed, then builds five times and runs every test of the
# four builds that have them: a normal build, AddressSanitizer with
# UndefinedBehaviorSanitizer, ThreadSanitizer, and the Windows programs
# cross-built with MinGW-w64 (their tests under Wine, on a virtual display);
# the fifth compiles the program with clang, whose thread-safety analysis
# must find nothing.  Exits non-zero if anything fails.
#
# Most tests wait (on virtual displays, a screen reader, Wine, time-outs)
# rather than compute, so the stages run in three lanes at once:
#   builds         normal, tsan, asan, windows, tsa, one after another, at the
#                  lowest priority: a test never waits for a processor a
#                  compiler holds, and a compiler takes what the tests leave
#                  idle
#   Linux tests    each Linux build's suite as soon as it is built, one
#                  suite at a time
#   Windows tests  under Wine, as soon as the Windows build is done
# The builds go in the order that ends soonest: ThreadSanitizer's suite, the
# one that waits longest, starts second, and the clang build, which has no
# tests, comes last, beside Wine's suite.
#
# Each stage's output goes to build/logs/<stage>.log and is printed whole
# when the stage ends, followed by its wall-clock and processor time.  The
# first stage to fail stops the others.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
echo "=== install-deps: $SECONDS s"

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=second_deadlock_stack=1
# Line tables are all a test run reads (a sanitizer's or a crash's stack
# with files and lines); full debug information would cost a fifth of the
# compile.  scripts/build.sh keeps full information for everyone else.
export DOTVANE_DEBUG_INFO=lines

logs=build/logs
rm -rf "$logs"
mkdir -p "$logs"
lanes=$(mktemp -d)  # a file <kind>.built when a build is done; `failed` when a stage failed
export logs lanes
trap 'rm -rf "$lanes"' EXIT

# stage NAME COMMAND...: runs COMMAND with its output in the stage's log,
# then prints the log and the stage's wall-clock seconds and the processor
# time it and its children used (the figure that compares across machines
# and loads).  A stage that fails marks the run failed.
stage() {
  local name=$1 start before after status=0 times_file=$lanes/times.$BASHPID
  local log=$logs/${name// /-}.log
  shift
  say "=== $name: started"
  start=$SECONDS
  times >"$times_file"  # in this shell: a subshell would count only its own children
  before=$(children_cpu "$times_file")
  "$@" >"$log" 2>&1 || status=$?
  times >"$times_file"
  after=$(children_cpu "$times_file")
  local cpu
  cpu=$(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.0f", a - b }')
  {
    flock 9
    echo "=== $name"
    cat "$log"
    echo "=== $name: $((SECONDS - start)) s, $cpu s processor time$( ((status)) && echo ", FAILED (status $status)")" |
      tee -a "$lanes/summary"
  } 9>>"$lanes/print.lock"
  ((status == 0)) || touch "$lanes/failed"
  return "$status"
}
# say TEXT: one line on standard output, never inside another stage's log.
say() {
  { flock 9; echo "$*"; } 9>>"$lanes/print.lock"
}
# The user and system seconds of the finished children, from the second line
# of `times` as saved in the file given.
children_cpu() {
  awk 'NR == 2 { print seconds($1) + seconds($2) }
       function seconds(t,   minutes) { minutes = t; sub(/m.*/, "", minutes); sub(/^[0-9]+m/, "", t); sub(/s$/, "", t)
                                        return minutes * 60 + t }' "$1"
}
# built KIND: waits until that build is done; fails at once if a stage failed.
built() {
  until [[ -e $lanes/$1.built ]]; do
    [[ ! -e $lanes/failed ]] || return 1
    sleep 1
  done
}

builds_lane() {
  local kind
  for kind in normal tsan asan windows tsa; do
    stage "$kind build" nice -n 19 bash scripts/build.sh "$kind" || return 1
    touch "$lanes/$kind.built"
  done
}
linux_tests_lane() {
  local kind
  for kind in normal tsan asan; do
    built "$kind" || return 1
    stage "$kind tests" ctest --test-dir "build/$kind" --output-on-failure -j "$(nproc)" --timeout 300 || return 1
  done
}
windows_tests_lane() {
  built windows || return 1
  stage "windows tests (under Wine)" tools/with-virtual-display.sh 900 bash scripts/test-windows.sh
}
export -f stage say children_cpu built builds_lane linux_tests_lane windows_tests_lane

# Each lane in a session of its own, so that a failing lane can stop the
# others, with everything they started, and only them.
declare -A lane_of=()
for lane in builds_lane linux_tests_lane windows_tests_lane; do
  setsid bash -c "$lane" &
  lane_of[$!]=$lane
done
stop_lanes() {
  local pid
  for pid in "${!lane_of[@]}"; do kill -- -"$pid" 2>/dev/null || true; done
}
trap 'stop_lanes; rm -rf "$lanes"' EXIT

start=$SECONDS
status=0
while ((${#lane_of[@]})); do
  finished=
  lane_status=0
  wait -n -p finished "${!lane_of[@]}" || lane_status=$?
  if ((lane_status)); then
    say "=== ${lane_of[$finished]} failed: stopping the others"
    unset "lane_of[$finished]"
    stop_lanes
    status=1
    break
  fi
  unset "lane_of[$finished]"
done
echo "=== the stages, in the order they ended:"
cat "$lanes/summary" 2>/dev/null || true
if ((status)); then
  echo "=== failed after $((SECONDS - start)) s (every stage's log: $logs)" >&2
  exit 1
fi
echo "=== every build passed every test, in $((SECONDS - start)) s after the installation"
