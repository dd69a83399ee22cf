#!/usr/bin/env bash
# Formats the project's C and C++ sources with clang-format (.clang-format).
#   scripts/format.sh          rewrite files in place
#   scripts/format.sh --check  list files that differ and fail if any do
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' | grep -v '^src/imgproc/median5_net.h$')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -ne 0 ]; then
    echo "not formatted (run scripts/format.sh):"; printf '  %s\n' "${bad[@]}"; exit 1
  fi
  echo "format: ${#files[@]} files checked"
else
  clang-format -i "${files[@]}"
fi
