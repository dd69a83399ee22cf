"""The virtual camera from Python: scene, ground truth, plug state, faults."""

import numpy as np
import pytest

import torvi


def test_ground_truth_of_a_wall_is_its_radial_distance():
    with torvi.VirtualCamera(seed=1) as vc:
        vc.set_wall(1500)
        truth = vc.ground_truth()
    assert truth.dtype == np.uint16 and truth.shape == (240, 320)
    # Radial distance: the wall distance at the centre, farther at the corners.
    centre = int(truth[120, 158])
    assert 1500 <= centre <= 1502
    assert truth[0, 0] > centre + 100


def test_shapes_come_nearer_than_the_wall():
    with torvi.VirtualCamera(seed=1) as vc:
        vc.set_wall(2000)
        before = vc.ground_truth()
        vc.add_sphere(0, 0, 1000, 200)
        vc.add_box(300, -100, 1200, 500, 100, 1400)
        after = vc.ground_truth()
        vc.clear_shapes()
        cleared = vc.ground_truth()
    assert (after < before).sum() > 100
    assert after.min() >= 790  # the sphere's front at 800 mm, radially
    assert np.array_equal(cleared, before)


def test_the_virtual_bus_lives_with_its_cameras():
    with torvi.VirtualCamera(seed=1) as vc:
        assert len(torvi.list(identify=False)) == 1
        vc.unplug()
        assert torvi.list(identify=False) == []
        vc.plug()
        assert len(torvi.list(identify=False)) == 1
    assert vc.closed
    with pytest.raises(torvi.ClosedError):
        vc.set_wall(1000)


def test_bad_arguments_and_faults_are_errors():
    with torvi.VirtualCamera(seed=1) as vc:
        with pytest.raises(torvi.Error):
            vc.set_frame_rate(500)
        with pytest.raises(ValueError, match="unknown fault"):
            vc.fault("meteor")
        vc.fault("busy", 1)
        vc.fault("clear")
    assert "stall_bulk" in torvi.FAULTS


def test_equal_seeds_give_equal_frames():
    runs = []
    for seed in (42, 42, 43):
        with torvi.VirtualCamera(seed=seed) as vc:
            # Paced, so that no frame is dropped before the stream takes it.
            vc.set_frame_rate(60)
            with torvi.open() as cam:
                runs.append({f.index: f.raw.copy() for f in cam.stream(count=6)})
    same = set(runs[0]) & set(runs[1]) & set(runs[2])
    assert same  # frame indices count from the start of each capture
    for i in same:
        assert np.array_equal(runs[0][i], runs[1][i])
        assert not np.array_equal(runs[0][i], runs[2][i])
