#!/usr/bin/env bash
# torvi record from the virtual camera, then torvi capture --replay of the
# file: the replay hands out exactly the recorded frames, byte for byte the
# frames a capture of the recording writes; a truncated copy replays its
# intact part and says it is damaged; a foreign file fails with exit code 3;
# torvi view --replay serves the recorded frames.
set -euo pipefail
cli=${1:?torvi program}
work=${2:?work folder}
mkdir -p "$work"
cd "$work"
rm -f cli_run.mcap cli_cut.mcap replay1.raw replay2.raw
out=$("$cli" record --virtual --frames 10 -q -o cli_run.mcap --log cli_test.log)
echo "$out"
recorded=$(sed -n 's/^frames recorded: //p' <<<"$out")
[ "$recorded" -ge 10 ]
grep -q '^frames dropped: 0$' <<<"$out"
# Two replays give the same bytes, and as many frames as were recorded.
rep=$("$cli" capture --replay cli_run.mcap --fast -q -o replay1.raw --log cli_test.log)
echo "$rep"
grep -q "^frames received: $recorded\$" <<<"$rep"
grep -q '^errors: 0$' <<<"$rep"
"$cli" capture --replay cli_run.mcap --fast -q -o replay2.raw --log cli_test.log >/dev/null
cmp replay1.raw replay2.raw
[ "$(stat -c %s replay1.raw)" -gt 0 ]
# A copy cut in the middle replays what is intact and reports the damage.
head -c $(( $(stat -c %s cli_run.mcap) / 2 )) cli_run.mcap >cli_cut.mcap
cut=$("$cli" capture --replay cli_cut.mcap --fast -q --no-save --log cli_test.log 2>&1)
echo "$cut"
grep -q 'is damaged' <<<"$cut"
n=$(sed -n 's/^frames received: //p' <<<"$cut")
[ "$n" -lt "$recorded" ]
# Not a recording.
echo "hello" >not_a_recording.mcap
set +e
"$cli" capture --replay not_a_recording.mcap --no-save -q --log cli_test.log
rc=$?
set -e
[ "$rc" -eq 3 ]
# The viewer shows a recording: its latest raw frame is one of the recorded ones.
"$cli" view --replay cli_run.mcap --port 0 --seconds 30 --log cli_test.log >view.out 2>&1 &
viewer=$!
trap 'kill $viewer 2>/dev/null || true' EXIT
/usr/bin/python3 - view.out replay1.raw <<'PY'
import re, sys, time, urllib.request
out, frames = sys.argv[1], open(sys.argv[2], 'rb').read()
deadline = time.time() + 25
url = None
while time.time() < deadline and url is None:
    m = re.search(r'http://[0-9.]+:[0-9]+/', open(out).read())
    url = m.group(0) if m else time.sleep(0.1)
assert url, 'the viewer printed no address: ' + open(out).read()
while True:
    try:
        snap = urllib.request.urlopen(url + 'snapshot.raw', timeout=5).read()
        break
    except Exception as e:
        if time.time() > deadline:
            raise SystemExit('no frame from the replay in the viewer: %s' % e)
        time.sleep(0.2)
assert len(snap) > 0 and snap in frames, 'the viewer sent a frame that is not in the recording'
print('view --replay: frame of %d bytes from the recording' % len(snap))
PY
kill $viewer
wait $viewer || true
trap - EXIT
echo "record and replay: ok"
