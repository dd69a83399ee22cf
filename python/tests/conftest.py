"""Fixtures: virtual cameras on the virtual bus, and the cameras opened on them."""

import os
import tempfile

# The library keeps its log and calibration files in the cache folder: a
# private one for the tests, set before torvi is imported.
os.environ.setdefault("XDG_CACHE_HOME", tempfile.mkdtemp(prefix="torvi-pytest-"))

import pytest  # noqa: E402

import torvi  # noqa: E402

# The TI entry decodes the virtual camera's frames without calibration; the
# default product is the EPC camera, whose decode needs the EPC driver.
TI_PRODUCT = "VCAM-T0-1.0"


@pytest.fixture
def vcam():
    """A virtual camera (the default EPC product) looking at a wall at 1.2 m, unpaced."""
    with torvi.VirtualCamera(seed=7, plugged=False) as vc:
        vc.set_wall(1200)
        vc.set_paced(False)
        vc.plug()
        yield vc


@pytest.fixture
def ti_vcam():
    """A virtual camera whose product picks the TI entry."""
    with torvi.VirtualCamera(seed=3, product=TI_PRODUCT) as vc:
        vc.set_wall(1000)
        yield vc


@pytest.fixture
def cam(vcam):
    with torvi.open() as c:
        yield c


@pytest.fixture
def ti_cam(ti_vcam):
    with torvi.open() as c:
        yield c


def epc_frames_described() -> bool:
    """Whether the library's EPC driver describes (and so decodes) frames."""
    with torvi.VirtualCamera(seed=1) as vc:
        vc.set_paced(False)
        with torvi.open() as c:
            f = next(iter(c.stream(count=1)))
            return f.width > 0 and f.height > 0
