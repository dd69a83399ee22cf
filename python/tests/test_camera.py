"""Listing, opening, identity, parameters, registers, and failures as exceptions."""

import numpy as np
import pytest

import torvi
from conftest import TI_PRODUCT


def test_list_names_bus_port_serial_and_product(vcam):
    cams = torvi.list()
    assert len(cams) == 1
    c = cams[0]
    assert c["index"] == 0
    assert c["product"] == "VCAM-E2-1.4.3"
    assert c["vendor"] == "TORVI"
    assert c["serial"]  # the camera's parameter 5
    assert c["bus"] >= 1 and c["port"] >= 1
    # Without identification only the location is known.
    bare = torvi.list(identify=False)[0]
    assert bare["serial"] is None and bare["port"] == c["port"]


def test_no_camera_raises_no_camera_error():
    with pytest.raises(torvi.NoCameraError):
        with torvi.VirtualCamera(plugged=False):
            torvi.open()


def test_open_by_index_and_by_serial_picks_that_camera():
    with torvi.VirtualCamera(seed=1, plugged=False) as a, \
            torvi.VirtualCamera(seed=2, plugged=False) as b:
        a.set_location(1, 1, 2)
        b.set_location(1, 2, 3)
        a.set_serial("CAM-A")
        b.set_serial("CAM-B")
        a.plug()
        b.plug()
        cams = torvi.list()
        assert len(cams) == 2
        assert {c["serial"] for c in cams} == {"CAM-A", "CAM-B"}
        with torvi.open(index=1) as cam:
            assert cam.info["port"] == cams[1]["port"]
        with torvi.open(serial=cams[1]["serial"]) as cam:
            assert cam.info["serial"] == cams[1]["serial"]
            assert cam.info["port"] == cams[1]["port"]
        with pytest.raises(torvi.NoCameraError, match="serial"):
            torvi.open(serial="no-such-serial")
        with pytest.raises(torvi.NoCameraError, match="index 2"):
            torvi.open(index=2)


def test_info_reports_identity_chip_and_firmware(cam):
    info = cam.info
    assert info["product"] == "VCAM-E2-1.4.3"
    assert info["firmware"] == "1.4.3"
    assert info["driver"] == "EPC chip driver"
    assert set(info["chip"]) == {"part_version", "chip_id", "wafer_id"}
    assert "calibration" in info and "lens" in info


def test_frame_rate_and_integration_time_round_trip(cam):
    cam.frame_rate = 15
    assert cam.frame_rate == 15
    cam.integration_time = 700
    assert cam.integration_time == 700
    with pytest.raises(ValueError):
        cam.integration_time = 0


def test_parameters_as_bytes(cam):
    cam.set_param(12, 25)
    assert cam.get_param(12) == (25).to_bytes(4, "little")
    assert cam.get_param(3).rstrip(b"\0").startswith(b"VCAM-E2")
    sensor, board = cam.temperatures()
    assert 0 < sensor < 100 and 0 < board < 100


def test_camera_refusal_carries_the_library_message(cam):
    # The camera refuses a frame rate out of range; the exception says so.
    with pytest.raises(torvi.Error) as err:
        cam.set_param(12, 500)
    assert "parameter 12" in str(err.value)
    assert cam.frame_rate != 500


def test_failed_command_is_an_error_and_the_next_one_works(vcam, cam):
    vcam.fail_next("sensor on fire")
    with pytest.raises(torvi.Error):
        cam.frame_rate
    assert cam.frame_rate > 0


def test_registers_write_then_read(cam):
    cam.write_registers(0x40, np.array([1, 0x5A, 7], dtype=np.uint32), target=1)
    back = cam.read_registers(0x40, 3, target=1)
    assert back.dtype == np.uint32 and back.shape == (3,)
    assert back.tolist() == [1, 0x5A, 7]
    with pytest.raises(ValueError):
        cam.read_registers(0, 0)


def test_register_refusal_carries_the_library_message(cam):
    with pytest.raises(torvi.Error, match="too wide"):
        cam.write_registers(0x40, [0x1234], target=1)  # 8-bit sensor registers


def test_closed_camera_raises_closed_error(vcam):
    cam = torvi.open()
    cam.close()
    cam.close()  # idempotent
    assert cam.closed
    with pytest.raises(torvi.ClosedError):
        cam.frame_rate
    with pytest.raises(torvi.ClosedError):
        cam.stream(count=1)


def test_filters_by_name(cam):
    with pytest.raises(ValueError, match="known"):
        cam.enable_filter("no_such_filter")
    assert "min_amp" in torvi.FILTERS
    with pytest.raises(ValueError):
        cam.enable_filter("min_amp", 70000)


@pytest.mark.skipif(not torvi.HAVE_DECODE, reason="library built without the filter switch")
def test_minimum_amplitude_filter_removes_dim_pixels(vcam, cam):
    def valid_share():
        d = next(iter(cam.stream(count=1))).distance()
        return float(((d > 0) & (d < 60)).mean())

    before = valid_share()
    cam.enable_filter("min_amp", 65535)  # brighter than any pixel
    dimmed = valid_share()
    cam.disable_filter("min_amp")
    assert before > 0.9
    assert dimmed < 0.05


def test_error_names():
    assert torvi.error_name(-7) == "TORVI_ERR_CAP_STALL"
    assert torvi.error_name(-6) == "**UNKNOWN**"


def test_ti_camera_opens_with_its_driver(ti_cam):
    assert ti_cam.info["product"] == TI_PRODUCT
    assert ti_cam.info["driver"] == "TI OP8241 chip driver"
