#!/usr/bin/env bash
# scripts/build.sh <kind> [targets...]: configures and builds build/<kind>,
# where kind is normal, asan (AddressSanitizer with UndefinedBehaviorSanitizer)
# or tsan (ThreadSanitizer).  Warnings are errors in every kind.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:?usage: scripts/build.sh normal|asan|tsan [targets...]}
shift
case $kind in
  normal) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) options=(-DCMAKE_BUILD_TYPE=Debug -DDOTVANE_SANITIZE=address -DDOTVANE_BENCHMARKS=OFF) ;;
  tsan) options=(-DCMAKE_BUILD_TYPE=Debug -DDOTVANE_SANITIZE=thread -DDOTVANE_BENCHMARKS=OFF) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac

cmake -S . -B "build/$kind" -G Ninja -DDOTVANE_WERROR=ON -DPython3_EXECUTABLE="$(command -v python3)" "${options[@]}"
if (($#)); then
  cmake --build "build/$kind" --target "$@"
else
  cmake --build "build/$kind"
fi
