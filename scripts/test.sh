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

for kind in normal asan tsan; do
  echo "=== $kind build"
  bash scripts/build.sh "$kind"
  echo "=== $kind tests"
  (cd "build/$kind" && ctest --output-on-failure -j "$(nproc)" --timeout 300)
done
echo "=== clang thread-safety build"
bash scripts/build.sh tsa
echo "=== windows build (MinGW-w64)"
bash scripts/build.sh windows
echo "=== windows tests (under Wine)"
tools/with-virtual-display.sh 900 bash scripts/test-windows.sh
echo "=== all builds passed every test"
