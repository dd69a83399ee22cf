#!/usr/bin/env bash
# A viewer asked for a port that is taken says so on the console and serves
# on a free port instead.
set -euo pipefail
torvi=$1
work=$(mktemp -d)
trap 'kill $holder 2>/dev/null; rm -rf "$work"' EXIT
/usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); time.sleep(60)' >"$work/port" &
holder=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
(cd "$work" && "$torvi" view --virtual --port "$port" --seconds 1 --log view.log >out 2>err)
grep -q "cannot listen on 127.0.0.1:$port" "$work/err" || { echo "no refusal message:"; cat "$work/err"; exit 1; }
other=$(sed -n 's|^torvi view: http://127.0.0.1:\([0-9]*\)/$|\1|p' "$work/out")
[ -n "$other" ] && [ "$other" != "$port" ] || { echo "no other port:"; cat "$work/out"; exit 1; }
echo "port $port taken: refused with a message, served on $other"
