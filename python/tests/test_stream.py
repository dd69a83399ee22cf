"""Streams: frames with metadata and raw bytes, faults as exceptions, Ctrl-C,
threads, and no leaks over many open/close cycles."""

import _thread
import os
import threading
import time

import numpy as np
import pytest

import torvi

FRAME_BYTES = 320 * 240 * 8


def test_stream_yields_count_frames_with_metadata(vcam, cam):
    t0 = time.time()
    frames = list(cam.stream(count=5))
    assert len(frames) == 5
    idx = [f.index for f in frames]
    assert all((b - a) % 65536 >= 1 for a, b in zip(idx, idx[1:]))  # increasing, no repeats
    for f in frames:
        assert f.size == FRAME_BYTES
        assert not f.truncated
        assert t0 <= f.timestamp <= time.time()
        assert f.sensor_temperature == pytest.approx(36.1, abs=5)
        assert f.illumination_temperature is not None


def test_raw_bytes_are_the_camera_bytes_and_read_only(vcam, cam):
    frames = list(cam.stream(count=2))
    raw = frames[0].raw
    assert raw.dtype == np.uint8 and raw.shape == (FRAME_BYTES,)
    assert not raw.flags.writeable
    with pytest.raises(ValueError):
        raw[0] = 1
    # Noise differs from frame to frame; the frames are not copies of one buffer.
    assert not np.array_equal(frames[0].raw, frames[1].raw)
    # The raw array keeps its memory after the frame object is gone.
    del frames
    assert int(raw.sum()) > 0


def test_temperatures_follow_the_drift(vcam, cam):
    vcam.set_drift(2.0, 1.0)
    frames = list(cam.stream(count=4))
    temps = [f.sensor_temperature for f in frames]
    assert temps == sorted(temps) and temps[-1] > temps[0]


def test_a_stream_stops_its_capture_and_a_new_one_starts_again(vcam, cam):
    assert len(list(cam.stream(count=2))) == 2
    assert len(list(cam.stream(count=3))) == 3


def test_one_stream_at_a_time(vcam, cam):
    with cam.stream() as s:
        next(s)
        with pytest.raises(torvi.Error, match="already running"):
            cam.stream(count=1)
    assert len(list(cam.stream(count=1))) == 1


def test_unplug_mid_stream_raises_capture_error(vcam, cam):
    s = cam.stream()
    next(s)
    vcam.unplug()
    with pytest.raises(torvi.CaptureError) as err:
        for _ in range(100):
            next(s)
    assert err.value.code < 0
    s.close()


def test_silent_camera_times_out(vcam, cam):
    vcam.fault("silent_after", 0)
    with pytest.raises(torvi.TimeoutError):
        next(iter(cam.stream()))


def test_ctrl_c_stops_a_waiting_stream(vcam, cam):
    vcam.fault("silent_after", 0)
    s = cam.stream()
    timer = threading.Timer(0.3, _thread.interrupt_main)
    t0 = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        next(s)
    # Well before the getter's own deadline of about two seconds.
    assert time.monotonic() - t0 < 1.5
    timer.join()
    # The stream has stopped its capture: a new one works once the camera talks again.
    vcam.fault("resume")
    assert len(list(cam.stream(count=1))) == 1


def test_close_ends_a_running_stream(vcam):
    cam = torvi.open()
    s = cam.stream()
    next(s)
    cam.close()
    with pytest.raises(StopIteration):
        next(s)


def test_other_threads_run_while_a_stream_waits(vcam, cam):
    vcam.set_paced(True)
    vcam.set_frame_rate(5)
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=spin)
    t.start()
    list(cam.stream(count=3))  # about 0.6 s of waiting
    stop.set()
    t.join()
    assert len(ticks) > 10  # the GIL was free while the stream waited


def test_two_cameras_stream_on_two_threads():
    with torvi.VirtualCamera(seed=1, plugged=False) as a, \
            torvi.VirtualCamera(seed=2, plugged=False) as b:
        for vc, port in ((a, 1), (b, 2)):
            vc.set_location(1, port, port + 1)
            vc.set_paced(False)
            vc.plug()
        got = {}

        def run(index):
            with torvi.open(index=index) as cam:
                got[index] = [f.size for f in cam.stream(count=20)]

        threads = [threading.Thread(target=run, args=(i,)) for i in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=30)
        assert got == {0: [FRAME_BYTES] * 20, 1: [FRAME_BYTES] * 20}


def test_commands_from_another_thread_while_streaming(vcam, cam):
    rates = []

    def ask():
        for _ in range(20):
            rates.append(cam.frame_rate)

    t = threading.Thread(target=ask)
    t.start()
    n = sum(1 for _ in cam.stream(count=20))
    t.join()
    assert n == 20 and len(rates) == 20 and len(set(rates)) == 1


def _resources():
    rss_pages = int(open("/proc/self/statm").read().split()[1])
    return rss_pages * os.sysconf("SC_PAGE_SIZE"), len(os.listdir("/proc/self/fd")), \
        len(os.listdir("/proc/self/task"))


def test_no_leaks_over_many_open_close_cycles(vcam):
    def cycle():
        with torvi.open() as cam:
            for f in cam.stream(count=2):
                f.raw
    for _ in range(10):  # warm up allocator pools
        cycle()
    rss0, fds0, threads0 = _resources()
    for _ in range(150):
        cycle()
    rss1, fds1, threads1 = _resources()
    assert fds1 == fds0
    assert threads1 == threads0
    assert rss1 - rss0 < 16 * 1024 * 1024
