#!/usr/bin/env bash
# Runs the capture soak (open -> capture -> random fault -> stop -> close,
# frames checked by content, index order and timing) for the given number of
# cycles (default 1000) in the normal build, or in the build folder named by
# TORVI_SOAK_BUILD (for example build/tsan). TORVI_SOAK_SEED picks the fault
# sequence.
#   scripts/soak.sh 1000
#   TORVI_SOAK_BUILD=build/tsan scripts/soak.sh 200
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cycles=${1:-1000}
dir="$root/${TORVI_SOAK_BUILD:-build/normal}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" --target test_api_soak -j "$(nproc 2>/dev/null || echo 2)"
echo "=== soak: $cycles cycles in $dir"
TORVI_SOAK_CYCLES=$cycles "$dir/tests/api/soak/test_api_soak" --gtest_brief=0
