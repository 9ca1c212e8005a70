#!/usr/bin/env bash
# scripts/fuzz.sh <target> [seconds] [--merge]
#   Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
#   UndefinedBehaviorSanitizer (build/fuzz), then fuzzes <target> for the
#   given time (default 600 s), starting from the seeds in
#   tests/fuzz/corpus/<target>.  New inputs go to build/fuzz/corpus/<target>;
#   crashes, leaks and time-outs to build/fuzz/findings/<target>.
#   --merge then adds the inputs that reach new code to the saved corpus.
# Targets: image, hand_off, download, packet_stream (whole paths, with threads);
# packet_frames, status, version_block, history_line (one parser each, fast).
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh <target> [seconds] [--merge]; targets in tests/fuzz/CMakeLists.txt}
seconds=${2:-600}
merge=${3:-}

scripts/install-deps.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOTVANE_FUZZ=ON -DDOTVANE_SANITIZE=address -DDOTVANE_BENCHMARKS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_wxWidgets=ON -DPython3_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/fuzz --target "fuzz_$target"

seeds=tests/fuzz/corpus/$target
work=build/fuzz/corpus/$target
findings=build/fuzz/findings/$target
mkdir -p "$work" "$findings"
# One input may take a while only when something hangs: 10 s is a finding.
status=0
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
  -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$seeds" || status=$?
if [[ $status -eq 0 && $merge == --merge ]]; then
  "build/fuzz/tests/fuzz/fuzz_$target" -merge=1 "$seeds" "$work"
fi
exit $status
