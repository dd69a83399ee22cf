#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the normal build, then the
# same suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, then a short run of each fuzz target.
#   scripts/test.sh            all of it
#   TORVI_QUICK=1 scripts/test.sh   the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

"$root/scripts/deps.sh"
"$root/scripts/format.sh" --check

jobs=$(nproc 2>/dev/null || echo 2)
# Four builds of the same sources: ccache keeps a second run (or another clone
# of the same tree) from compiling unchanged files again. Paths are hashed
# relative to the checkout, so clones in other folders share the cache.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
export CTEST_OUTPUT_ON_FAILURE=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

run_suite() {  # name, extra cmake args...
  local name=$1; shift
  local dir="$root/build/$name"
  echo "=== [$name] configure and build"
  cmake -S "$root" -B "$dir" -G Ninja -DTORVI_BUILD_BENCH=$bench "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== [$name] test"
  (cd "$dir" && ctest -j "$jobs" --timeout 600 $ctest_args)
}

bench=ON
ctest_args=""
run_suite normal -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ -z "${TORVI_QUICK:-}" ]; then
  bench=OFF
  # The browser test drives the page, not the library: the normal build runs it.
  ctest_args="-LE slow|browser"
  run_suite asan -DCMAKE_BUILD_TYPE=Debug -DTORVI_SANITIZE=address
  run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVI_SANITIZE=thread
  if [ -d "$root/fuzz" ] && ls "$root"/fuzz/*.cpp >/dev/null 2>&1; then
    "$root/scripts/fuzz.sh" 20
  fi
fi
echo "=== all test suites passed"
