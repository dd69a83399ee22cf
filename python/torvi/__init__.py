"""torvi: USB time-of-flight depth cameras from Python, with numpy arrays.

The camera in three lines (a virtual camera needs no hardware)::

    import torvi
    with torvi.VirtualCamera(seed=1) as vc:      # plugged in; the virtual bus is on while it lives
        vc.set_wall(1500)                         # mm
        with torvi.open() as cam:                 # the first camera
            for frame in cam.stream(count=10):
                d = frame.distance()              # float32 (240, 320), metres
                pts = frame.point_cloud()         # float32 (N, 3), metres
        truth = vc.ground_truth()                 # uint16 (240, 320), mm

Failures raise :class:`torvi.Error` (or a subclass) whose message ends with
the library's own. Every call that may wait releases the GIL, and Ctrl-C
stops a stream that waits for a frame.

The library keeps its log file and the cameras' calibration files in
``$XDG_CACHE_HOME/torvi`` (else ``~/.cache/torvi``); set ``TORVI_LOG_LEVEL``
(0 trace .. 4 errors, 5 none) to see its log lines on the console.
"""

from __future__ import annotations

import atexit
import os
from typing import Any, Dict, List, Optional

from . import _torvi
from ._torvi import (
    FAULTS,
    FILTERS,
    HAVE_DECODE,
    Camera,
    CaptureError,
    ClosedError,
    Error,
    Frame,
    NoCameraError,
    NotSupportedError,
    Recording,
    Stream,
    TimeoutError,
    VirtualCamera,
    error_name,
    set_console_log_level,
    version,
)
from .files import load_distance, load_gray, save_distance, save_gray, save_ply

__all__ = [
    "Camera",
    "CaptureError",
    "ClosedError",
    "Error",
    "FAULTS",
    "FILTERS",
    "Frame",
    "HAVE_DECODE",
    "NoCameraError",
    "NotSupportedError",
    "Recording",
    "Stream",
    "TimeoutError",
    "VirtualCamera",
    "cache_dir",
    "error_name",
    "list",
    "load_distance",
    "load_gray",
    "open",
    "replay",
    "save_distance",
    "save_gray",
    "save_ply",
    "set_console_log_level",
    "version",
]


def cache_dir() -> str:
    """The folder of the library's log file and calibration files."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "torvi")


def _start() -> None:
    folder = cache_dir()
    os.makedirs(folder, exist_ok=True)
    level = os.environ.get("TORVI_LOG_LEVEL", "5")
    try:
        console = min(max(int(level), 0), 5)
    except ValueError:
        console = 5
    _torvi._start(os.path.join(folder, "torvi_python.log"), folder + "/", console)


_start()

def list(identify: bool = True) -> List[Dict[str, Any]]:  # noqa: A001 - the package's own name
    """The attached cameras: dicts with index, bus, port, address, speed,
    serial, product and vendor. With ``identify=True`` every camera is
    opened briefly to read its serial and product (None for a camera that
    cannot be opened now)."""
    return _torvi.list_cameras(identify)


def open(index: Optional[int] = None, serial: Optional[str] = None) -> Camera:  # noqa: A001
    """Opens a camera: the first one, the one at ``index`` of :func:`list`,
    or the one whose serial is ``serial``. Use it as a context manager or
    call ``close()``. Raises :class:`NoCameraError` when none matches."""
    return Camera(index=index, serial=serial)


def replay(path: str, fast: bool = False, loop: bool = False) -> Camera:
    """Opens a recording made by ``torvi record`` or :meth:`Camera.record` as
    a camera: its streams give the recorded frames at the recorded pace (or
    as fast as they are taken with ``fast``), decoded with the recorded
    calibration, and end with the recording unless ``loop``."""
    return Camera.replay(path, fast=fast, loop=loop)


# Cameras still open at exit are closed before the interpreter ends, while
# their transport threads can still be joined; then the virtual cameras.
atexit.register(_torvi._close_all)
