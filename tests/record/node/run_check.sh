#!/usr/bin/env bash
# Records frames from the virtual camera with the torvi program and checks
# the file with the npm MCAP reader. Exit 77 (skipped) when node is missing.
set -euo pipefail
cli=${1:?torvi program}
dir=${2:?folder of check_mcap.mjs}
work=${3:?work folder}
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
out=$("$cli" record --virtual --frames 20 -q -o node_check.mcap --log node_check.log)
echo "$out"
# The recording holds every frame the stream completed: at least the 20 the
# program took.
frames=$(sed -n 's/^frames recorded: //p' <<<"$out")
[ "$frames" -ge 20 ]
grep -q '^frames dropped: 0$' <<<"$out"
node "$dir/check_mcap.mjs" node_check.mcap "$frames"
