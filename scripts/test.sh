#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test three times:
# a normal build, AddressSanitizer with UndefinedBehaviorSanitizer, and
# ThreadSanitizer; compiles the program with clang, whose thread-safety
# analysis must find nothing; and cross-builds the Windows programs and runs
# their tests under Wine, on a virtual display.  Exits non-zero if anything
# fails.
#
# The clang and Windows builds need nothing the Linux stages make: they are
# compiled alongside them at the lowest priority, on the processor time the
# tests leave idle (most of them wait on displays and time-outs), and waited
# for before the Windows tests.  Their output goes to
# build/background-builds.log, shown when one fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=second_deadlock_stack=1

# Each stage says how long it took when it ends: wall-clock seconds, and the
# processor time it and its children used (the figure that compares across
# machines and loads).
cpu_files=$(mktemp -d)
trap 'rm -rf "$cpu_files"' EXIT
stage() {
  local name=$1 start before after file=$cpu_files/$BASHPID
  shift
  echo "=== $name"
  start=$SECONDS
  times >"$file"  # in this shell: a subshell would count only its own children
  before=$(children_cpu "$file")
  local status=0
  "$@" || status=$?
  times >"$file"
  after=$(children_cpu "$file")
  echo "=== $name: $((SECONDS - start)) s, $(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.0f", a - b }') s processor time"
  return "$status"
}
# The user and system seconds of the finished children, from the second line
# of `times` as saved in the file given.
children_cpu() {
  awk 'NR == 2 { print seconds($1) + seconds($2) }
       function seconds(t,   minutes) { minutes = t; sub(/m.*/, "", minutes); sub(/^[0-9]+m/, "", t); sub(/s$/, "", t)
                                        return minutes * 60 + t }' "$1"
}

# Compiled in a session of their own, so that a failing Linux stage can stop
# them (and only them) on its way out, and not as a child of this shell, so
# that their processor time is no part of the stage during which they end.
background_builds() {
  export CMAKE_BUILD_PARALLEL_LEVEL=2  # memory: beside the Linux builds' own compilers
  stage "clang thread-safety build" nice -n 19 bash scripts/build.sh tsa || return 1
  stage "windows build (MinGW-w64)" nice -n 19 bash scripts/build.sh windows || return 1
}
export -f stage children_cpu background_builds
export cpu_files
mkdir -p build
background_log=build/background-builds.log
background_status=$cpu_files/background-status
background=$( (setsid bash -c 'background_builds; echo $? >"$0"' "$background_status" >"$background_log" 2>&1 &
               echo $!) )
trap 'kill -- -"$background" 2>/dev/null || true; rm -rf "$cpu_files"' EXIT
echo "=== clang thread-safety and windows builds: in the background ($background_log)"

for kind in normal asan tsan; do
  stage "$kind build" bash scripts/build.sh "$kind"
  stage "$kind tests" ctest --test-dir "build/$kind" --output-on-failure -j "$(nproc)" --timeout 300
done

waited=$SECONDS
while kill -0 "$background" 2>/dev/null; do sleep 2; done
trap 'rm -rf "$cpu_files"' EXIT
if [[ $(cat "$background_status" 2>/dev/null) != 0 ]]; then
  cat "$background_log"
  echo "=== the clang thread-safety or windows build failed (above)" >&2
  exit 1
fi
grep '^=== .*: [0-9]* s,' "$background_log"
echo "=== waited $((SECONDS - waited)) s for them"
stage "windows tests (under Wine)" tools/with-virtual-display.sh 900 bash scripts/test-windows.sh
echo "=== all builds passed every test"
