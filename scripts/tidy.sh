#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the library and tool sources, using the
# compile commands of build/normal. Prints the warnings; fails if there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/normal -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
git ls-files src tools | grep -E '\.cpp$' |
  xargs -n 8 -P "$(nproc)" clang-tidy -p build/normal --quiet 2>/dev/null | grep -E 'warning:' | sort -u > build/tidy.txt || true
if [ -s build/tidy.txt ]; then cat build/tidy.txt; exit 1; fi
echo "clang-tidy: no warnings"
