#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan+UBSan and runs each for
# the given number of seconds (default 60), starting from its seed corpus
# fuzz/corpus/<name>/ when there is one. Crashes fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
secs=${1:-60}
dir="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVI_BUILD_FUZZ=ON -DTORVI_SANITIZE=address -DTORVI_BUILD_TESTS=OFF -DTORVI_BUILD_BENCH=OFF \
  -DTORVI_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
for src in "$root"/fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  work="$dir/corpus_$name"
  mkdir -p "$work"
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds+=("$root/fuzz/corpus/$name")
  echo "=== fuzz_$name for ${secs}s"
  "$dir/fuzz/fuzz_$name" -max_total_time="$secs" -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | tail -n 3
done
