#!/usr/bin/env bash
# Starts `torvi view --virtual` on a free port, runs the browser test against
# it and stops it. Skips (77) when node, chromium or playwright-core is missing.
set -euo pipefail
torvi=$1
here=$(cd "$(dirname "$0")" && pwd)
command -v node >/dev/null && [ -x /usr/bin/chromium ] && [ -d "$here/node_modules/playwright-core" ] || {
  echo "node, chromium or playwright-core missing (scripts/deps.sh installs them): skipped"; exit 77; }
work=$(mktemp -d)
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
"$torvi" view --virtual --port 0 --seconds 300 --log "$work/view.log" >"$work/out" 2>"$work/err" &
pid=$!
url=""
for _ in $(seq 1 200); do
  url=$(sed -n 's|^torvi view: \(http://[^ ]*\)$|\1|p' "$work/out")
  [ -n "$url" ] && break
  kill -0 $pid 2>/dev/null || { cat "$work/err"; exit 1; }
  sleep 0.1
done
[ -n "$url" ] || { echo "the viewer printed no address"; cat "$work/err"; exit 1; }
status=0
node "$here/viewer_test.mjs" "$url" || status=$?
echo "viewer console:"; sed 's/^/  /' "$work/err"
exit $status
