"""`python3 -m torvi` lists the cameras."""

import os
import subprocess
import sys


def run(*args):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-m", "torvi", *args], capture_output=True, text=True,
                          env=env, timeout=60)


def test_lists_the_virtual_camera():
    r = run("--virtual")
    assert r.returncode == 0, r.stderr
    assert "1 camera(s)" in r.stdout
    assert "VCAM-E2-1.4.3" in r.stdout


def test_no_camera_explains_and_fails():
    # No USB cameras are expected where the tests run; without --virtual the
    # real bus is listed, and an empty one gives exit code 2 and a hint.
    r = run()
    if "0 camera(s)" in r.stdout:
        assert r.returncode == 2
        assert "--virtual" in r.stderr
    else:
        assert r.returncode == 0
