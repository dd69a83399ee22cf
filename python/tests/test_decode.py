"""Frame decode from Python: distance, gray, point clouds and colours, checked
against the library's rules and the virtual camera's ground truth."""

import numpy as np
import pytest

import torvi
from conftest import epc_frames_described

INTRINSICS = (160.0, 120.0, 210.0, 205.0)

needs_decode = pytest.mark.skipif(not torvi.HAVE_DECODE, reason="library built without decode")


def test_without_decode_the_methods_say_so():
    if torvi.HAVE_DECODE:
        pytest.skip("the library decodes")
    with torvi.VirtualCamera(seed=1) as vc:
        with torvi.open() as cam:
            f = next(iter(cam.stream(count=1)))
            with pytest.raises(torvi.NotSupportedError):
                f.distance()


@needs_decode
def test_distance_and_gray_shapes_and_types(ti_cam):
    f = next(iter(ti_cam.stream(count=1)))
    d = f.distance()
    g = f.gray()
    assert d.dtype == np.float32 and d.shape == (240, 320)
    assert g.dtype == np.float32 and g.shape == (240, 320)
    # The TI entry decodes 12-bit phase words: 0 .. 3.12 m; gray is 12 bits.
    assert 0.0 <= d.min() and d.max() <= 3.13
    assert 0.0 <= g.min() and g.max() <= 4095
    # Decoding twice gives the same image, in new arrays.
    d2 = f.distance()
    assert np.array_equal(d, d2) and d is not d2


@needs_decode
def test_point_cloud_rays_have_the_length_of_the_distance(ti_cam):
    f = next(iter(ti_cam.stream(count=1)))
    d = f.distance()
    valid = (d > 0) & (d < 60)
    pts = f.point_cloud(intrinsics=INTRINSICS)
    assert pts.dtype == np.float32 and pts.shape == (int(valid.sum()), 3)
    np.testing.assert_allclose(np.linalg.norm(pts, axis=1), d[valid], rtol=1e-4, atol=1e-5)
    # Organized: the same points at their pixels, NaN elsewhere.
    grid = f.point_cloud(organized=True, intrinsics=INTRINSICS)
    assert grid.shape == (240, 320, 3)
    assert np.isnan(grid[~valid]).all()
    np.testing.assert_array_equal(grid[valid], pts)
    # Points right of the principal point have x > 0, below it y > 0.
    assert (grid[valid & (np.arange(320) > 170)[None, :]][:, 0] > 0).all()
    assert (grid[valid & (np.arange(240) > 130)[:, None]][:, 1] > 0).all()
    # dist_scale scales every point.
    half = f.point_cloud(intrinsics=INTRINSICS + (0.5,))
    np.testing.assert_allclose(half, pts * 0.5, rtol=1e-4, atol=1e-6)


@needs_decode
def test_point_cloud_without_lens_reports_the_library_message(ti_cam):
    f = next(iter(ti_cam.stream(count=1)))
    with pytest.raises(torvi.Error, match="lens"):
        f.point_cloud()
    with pytest.raises(ValueError):
        f.point_cloud(intrinsics=(1.0, 2.0))


@needs_decode
def test_colorized_is_rgb_over_the_range(ti_cam):
    f = next(iter(ti_cam.stream(count=1)))
    rgb = f.colorized()
    assert rgb.dtype == np.uint8 and rgb.shape == (240, 320, 3)
    near = f.colorized(0.0, 100.0)  # everything at the near end of a wide range
    far = f.colorized(-100.0, 0.0)  # everything past the far end
    # A few metres of a 100 m range take a narrow band of the colour map.
    spread = np.ptp(near.reshape(-1, 3).astype(int), axis=0).max()
    assert spread <= 16
    assert np.ptp(rgb.reshape(-1, 3).astype(int), axis=0).max() > spread
    assert not np.array_equal(near, far)


@needs_decode
def test_decode_after_close_raises_closed_error(ti_vcam):
    cam = torvi.open()
    f = next(iter(cam.stream(count=1)))
    cam.close()
    with pytest.raises(torvi.ClosedError):
        f.distance()


@needs_decode
@pytest.mark.skipif(not torvi.HAVE_DECODE or not epc_frames_described(),
                    reason="the library's EPC driver does not describe frames yet")
@pytest.mark.parametrize("wall_mm", [800, 1500, 3000])
def test_epc_distance_matches_the_ground_truth(wall_mm):
    with torvi.VirtualCamera(seed=5) as vc:
        vc.set_wall(wall_mm)
        vc.set_paced(False)
        truth = vc.ground_truth().astype(np.float32) / 1000.0
        with torvi.open() as cam:
            errors = []
            for f in cam.stream(count=5):
                d = f.distance()
                valid = (d > 0) & (d < 60)
                assert valid.mean() > 0.9
                errors.append(d[valid] - truth[valid])
    err = np.concatenate(errors)
    assert abs(float(np.median(err))) < 0.01
    assert float(np.sqrt(np.mean(err ** 2))) < 0.03


@needs_decode
@pytest.mark.skipif(not torvi.HAVE_DECODE or not epc_frames_described(),
                    reason="the library's EPC driver does not describe frames yet")
def test_epc_wall_point_cloud_is_flat_at_the_wall():
    with torvi.VirtualCamera(seed=2) as vc:
        vc.set_wall(1500)
        vc.set_paced(False)
        with torvi.open() as cam:
            f = next(iter(cam.stream(count=1)))
            pts = f.point_cloud()  # the camera's own lens
            grid = f.point_cloud(organized=True)
            gray = f.gray()
    assert pts.shape[0] > 0.9 * 240 * 320
    z = pts[:, 2]
    assert abs(float(np.median(z)) - 1.5) < 0.01
    assert float(np.percentile(np.abs(z - 1.5), 95)) < 0.03
    assert grid.shape == (240, 320, 3)
    # The wall reflects evenly: gray is positive over the valid pixels.
    assert float(np.median(gray)) > 0
