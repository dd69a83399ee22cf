#!/usr/bin/env bash
# Builds the libFuzzer targets (every fuzz/*.cpp) with clang under
# ASan+UBSan and runs each for the given number of seconds (default 60), or
# until it has made the given number of executions, whichever comes first,
# starting from its seed corpus fuzz/corpus/<name>/ when there is one.
# Prints each target's executions, speed and corpus growth; a crash, or a
# target that did not build or did not report, fails the run.
#   scripts/fuzz.sh                   every target for 60 s
#   scripts/fuzz.sh 600 10000000      every target for 10 million executions (at most 600 s)
#   scripts/fuzz.sh 60 0 stream_feed  only the named targets (0: no execution limit)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
secs=${1:-60}
runs=${2:-0}
shift $(( $# > 2 ? 2 : $# ))
dir="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVI_BUILD_FUZZ=ON -DTORVI_SANITIZE=address -DTORVI_BUILD_TESTS=OFF -DTORVI_BUILD_BENCH=OFF \
  -DTORVI_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for src in "$root"/fuzz/*.cpp; do names+=("$(basename "$src" .cpp)"); done
fi
summary=()
status=0
for name in "${names[@]}"; do
  bin="$dir/fuzz/fuzz_$name"
  if [ ! -x "$bin" ]; then
    echo "fuzz_$name: not built" >&2
    status=1
    continue
  fi
  work="$dir/corpus_$name"
  mkdir -p "$work"
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds+=("$root/fuzz/corpus/$name")
  # Under ASan a long run's resident size grows by itself (zip_read: about
  # 190 MB per million executions, none of it the library's), so the
  # 2 GB default would end a 10-million run early. A single allocation
  # above 4 GB still fails the run.
  limit=(-max_total_time="$secs" -rss_limit_mb=4096)
  [ "$runs" != 0 ] && limit+=(-runs="$runs")
  log="$dir/fuzz_$name.log"
  echo "=== fuzz_$name: ${secs}s$([ "$runs" != 0 ] && echo " or $runs executions")"
  start=$(date +%s)
  if ! "$bin" "${limit[@]}" -print_final_stats=1 "$work" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$name: FAILED (log: $log)" >&2
    status=1
  fi
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -n 1)
  if [ -z "$execs" ]; then
    echo "fuzz_$name: no final statistics (log: $log)" >&2
    status=1
    execs=?
  fi
  corpus=$(find "$work" -type f | wc -l)
  summary+=("$(printf '%-24s %12s executions %7ss %8s/s  %5s new units  corpus %s' \
    "fuzz_$name" "$execs" "$took" "${rate:-?}" "${added:-?}" "$corpus")")
done
echo "=== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
