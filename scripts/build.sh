#!/usr/bin/env bash
# scripts/build.sh <kind> [targets...]: configures and builds build/<kind>,
# where kind is normal, asan (AddressSanitizer with UndefinedBehaviorSanitizer),
# tsan (ThreadSanitizer) or tsa (clang, whose -Wthread-safety proves the lock
# annotations; the program only, without tests or the graphical interface,
# since it is compiled for its warnings) or windows (cross-built with
# MinGW-w64 into Windows programs, whose tests scripts/test-windows.sh runs
# under Wine).  Warnings are errors in every kind.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:?usage: scripts/build.sh normal|asan|tsan|tsa|windows [targets...]}
shift
case $kind in
  normal) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) options=(-DCMAKE_BUILD_TYPE=Debug -DDOTVANE_SANITIZE=address -DDOTVANE_BENCHMARKS=OFF) ;;
  tsan) options=(-DCMAKE_BUILD_TYPE=Debug -DDOTVANE_SANITIZE=thread -DDOTVANE_BENCHMARKS=OFF) ;;
  tsa) options=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
                -DBUILD_TESTING=OFF -DDOTVANE_BENCHMARKS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_wxWidgets=ON
                -DDOTVANE_DEBUG_INFO=none) ;;  # nothing runs it: no debug information
  windows) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
                    -DDOTVANE_BENCHMARKS=OFF) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac

# DOTVANE_DEBUG_INFO=lines in the environment: line tables only (what a test
# run reads, quicker to compile); otherwise full debug information.
if [[ $kind != tsa ]]; then
  options+=(-DDOTVANE_DEBUG_INFO="${DOTVANE_DEBUG_INFO:-}")
fi

# ccache where it is installed: a file compiled before with the same flags,
# in this checkout or another, comes from the cache.  Paths below the tree
# count relative to it.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  # The tests' precompiled headers: ccache takes a compile that uses one
  # only when told that its time macros and definitions may be ignored.
  export CCACHE_SLOPPINESS=pch_defines,time_macros
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S . -B "build/$kind" -G Ninja "${launcher[@]}" -DDOTVANE_WERROR=ON -DPython3_EXECUTABLE="$(command -v python3)" "${options[@]}"
if (($#)); then
  cmake --build "build/$kind" --target "$@"
else
  cmake --build "build/$kind"
fi
