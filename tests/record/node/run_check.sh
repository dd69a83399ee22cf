#!/usr/bin/env bash
# Records frames from the virtual camera with the torvi program and checks
# the file with the npm MCAP reader. Exit 77 (skipped) when node is missing.
set -euo pipefail
cli=${1:?torvi program}
dir=${2:?folder of check_mcap.mjs}
work=${3:?work folder}
frames=20
if ! command -v node >/dev/null 2>&1; then
  echo "node is not installed: skipped"
  exit 77
fi
if [ ! -d "$dir/node_modules/@mcap/core" ]; then
  echo "the npm packages are missing: run scripts/deps.sh" >&2
  exit 1
fi
mkdir -p "$work"
cd "$work"
rm -f node_check.mcap
"$cli" record --virtual --frames "$frames" -q -o node_check.mcap
node "$dir/check_mcap.mjs" node_check.mcap "$frames"
