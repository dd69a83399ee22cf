"""Frame files and PLY output."""

import numpy as np
import pytest

import torvi


def test_distance_frames_round_trip_in_every_format(tmp_path):
    rng = np.random.default_rng(1)
    frames = rng.uniform(0.2, 5.0, size=(3, 24, 32)).astype(np.float32)
    for fmt, tol in (("f32", 0.0), ("u32", 0.001), ("u16", 0.001)):
        path = tmp_path / f"d_{fmt}.kxd"
        torvi.save_distance(path, frames[:2], format=fmt)
        torvi.save_distance(path, frames[2], format=fmt)  # appended, no second header
        back = list(torvi.load_distance(path))
        assert len(back) == 3
        for a, b in zip(frames, back):
            assert b.shape == (24, 32)
            np.testing.assert_allclose(b, a, atol=tol + 1e-6)
            assert (b <= a + 1e-6).all()  # millimetres are truncated, never rounded up


def test_gray_frames_round_trip(tmp_path):
    g = np.arange(12 * 16, dtype=np.float32).reshape(12, 16)
    path = tmp_path / "g.kxg"
    torvi.save_gray(path, g, format="u8")
    back = list(torvi.load_gray(path))
    assert len(back) == 1
    np.testing.assert_array_equal(back[0], g % 256)


def test_wrong_formats_and_headers_are_errors(tmp_path):
    with pytest.raises(torvi.Error, match="format"):
        torvi.save_distance(tmp_path / "x", np.zeros((2, 2)), format="u8")
    with pytest.raises(ValueError):
        torvi.save_distance(tmp_path / "y", np.zeros((2, 2)), format="png")
    bad = tmp_path / "bad"
    bad.write_bytes(b"NOT A HEADER\n" + bytes(100))
    assert list(torvi.load_distance(bad)) == []


def test_ply_leaves_out_nan_points(tmp_path):
    pts = np.array([[0, 0, 1], [np.nan, 0, 0], [1, 2, 3]], dtype=np.float32)
    path = tmp_path / "c.ply"
    assert torvi.save_ply(path, pts) == 2
    data = path.read_bytes()
    header, body = data.split(b"end_header\n")
    assert b"element vertex 2" in header
    np.testing.assert_array_equal(np.frombuffer(body, "<f4").reshape(2, 3), pts[[0, 2]])
