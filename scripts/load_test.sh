#!/usr/bin/env bash
# Runs a built test suite again and again while every core is kept busy by
# another process, to find tests that depend on the schedule. Prints one line
# per run and the names of the tests that failed; exits non-zero when any run
# failed.
#   scripts/load_test.sh BUILD_DIR [RUNS] [extra ctest arguments...]
#   scripts/load_test.sh build/normal 10
#   scripts/load_test.sh build/asan 10 -LE "slow|browser"
# LOAD_TEST_SPINNERS=N sets how many busy loops run (default: one per core;
# 0 when other work, such as fuzzers, keeps the cores busy already).
set -uo pipefail
export CTEST_OUTPUT_ON_FAILURE=1
dir=${1:?build folder}
runs=${2:-10}
shift $(( $# > 2 ? 2 : $# ))
cores=$(nproc 2>/dev/null || echo 2)
busy=()
for _ in $(seq "${LOAD_TEST_SPINNERS:-$cores}"); do
  (while :; do :; done) &
  busy+=($!)
done
trap 'kill "${busy[@]}" 2>/dev/null' EXIT
failed_runs=0
declare -A failures=()
for i in $(seq "$runs"); do
  start=$(date +%s)
  log=$(mktemp)
  (cd "$dir" && ctest -j "$cores" --timeout 600 "$@") >"$log" 2>&1
  rc=$?
  took=$(( $(date +%s) - start ))
  summary=$(grep -E 'tests passed' "$log" | tail -n 1)
  echo "run $i/$runs: ${summary:-no summary} (${took}s)"
  if [ $rc -ne 0 ]; then
    failed_runs=$((failed_runs + 1))
    while read -r name; do
      failures[$name]=$(( ${failures[$name]:-0} + 1 ))
    done < <(sed -n 's/^ *[0-9]* - \([^ ]*\) .*/\1/p' "$log")
    cp "$log" "$dir/load_test_run_$i.log"
    echo "  log: $dir/load_test_run_$i.log"
  fi
  rm -f "$log"
done
echo "=== $runs runs with ${LOAD_TEST_SPINNERS:-$cores} busy loops on $cores cores: $failed_runs failed"
for name in "${!failures[@]}"; do echo "  $name failed ${failures[$name]} times"; done
[ "$failed_runs" -eq 0 ]
