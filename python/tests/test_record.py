"""Recording a camera into MCAP from Python and replaying it as a camera."""

import numpy as np
import pytest

import torvi


def record(vcam, cam, path, frames):
    """Records while a stream takes `frames` frames of a camera at its own
    pace (an unpaced one outruns any disk); the frames and their distances."""
    vcam.set_paced(True)
    taken = []
    with cam.record(str(path)) as rec:
        for f in cam.stream(count=frames):
            taken.append((f.index, bytes(f.raw), f.distance()))
    stats = rec.stop()
    assert stats["frames_written"] >= frames
    assert stats["frames_dropped"] == 0 and not stats["failed"]
    return taken, stats


def test_replay_gives_the_recorded_frames_and_distances(vcam, cam, tmp_path):
    path = tmp_path / "run.mcap"
    taken, stats = record(vcam, cam, path, 5)
    cam.close()
    with torvi.replay(str(path), fast=True) as rep:
        replayed = [(f.index, bytes(f.raw), f.distance()) for f in rep.stream()]
    # The stream ends with the recording, and holds every recorded frame.
    assert len(replayed) == stats["frames_written"]
    by_index = {i: (raw, d) for i, raw, d in replayed}
    for index, raw, distance in taken:
        assert by_index[index][0] == raw
        np.testing.assert_array_equal(by_index[index][1], distance)


def test_a_looping_replay_goes_on_past_its_end(vcam, cam, tmp_path):
    path = tmp_path / "loop.mcap"
    _, stats = record(vcam, cam, path, 2)
    cam.close()
    with torvi.replay(str(path), fast=True, loop=True) as rep:
        frames = list(rep.stream(count=3 * stats["frames_written"]))
    assert len(frames) == 3 * stats["frames_written"]


def test_what_is_not_a_recording_fails_clearly(tmp_path):
    bad = tmp_path / "notes.mcap"
    bad.write_text("hello")
    with pytest.raises(torvi.Error, match="cannot replay"):
        torvi.replay(str(bad))
    with pytest.raises(torvi.Error, match="cannot replay"):
        torvi.replay(str(tmp_path / "missing.mcap"))


def test_recording_a_closed_camera_fails(vcam, cam, tmp_path):
    cam.close()
    with pytest.raises(torvi.ClosedError):
        cam.record(str(tmp_path / "x.mcap"))
