#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test three times:
# a normal build, AddressSanitizer with UndefinedBehaviorSanitizer, and
# ThreadSanitizer; then compiles the program with clang, whose thread-safety
# analysis must find nothing; then cross-builds the Windows programs and runs
# their tests under Wine, on a virtual display.  Exits non-zero if anything
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=second_deadlock_stack=1

# Each stage says how long it took when it ends: wall-clock seconds, and the
# processor time it and its children used (the figure that compares across
# machines and loads).
cpu_file=$(mktemp)
trap 'rm -f "$cpu_file"' EXIT
stage() {
  local name=$1 start before after
  shift
  echo "=== $name"
  start=$SECONDS
  times >"$cpu_file"  # in this shell: a subshell would count only its own children
  before=$(children_cpu)
  "$@"
  times >"$cpu_file"
  after=$(children_cpu)
  echo "=== $name: $((SECONDS - start)) s, $(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.0f", a - b }') s processor time"
}
# The user and system seconds of this shell's finished children, from the
# second line of `times` as saved in $cpu_file.
children_cpu() {
  awk 'NR == 2 { print seconds($1) + seconds($2) }
       function seconds(t,   minutes) { minutes = t; sub(/m.*/, "", minutes); sub(/^[0-9]+m/, "", t); sub(/s$/, "", t)
                                        return minutes * 60 + t }' "$cpu_file"
}

for kind in normal asan tsan; do
  stage "$kind build" bash scripts/build.sh "$kind"
  stage "$kind tests" ctest --test-dir "build/$kind" --output-on-failure -j "$(nproc)" --timeout 300
done
stage "clang thread-safety build" bash scripts/build.sh tsa
stage "windows build (MinGW-w64)" bash scripts/build.sh windows
stage "windows tests (under Wine)" tools/with-virtual-display.sh 900 bash scripts/test-windows.sh
echo "=== all builds passed every test"
