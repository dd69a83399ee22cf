"""Frame files (the library's "KX_DIST" / "KX_GRAY" formats) and PLY point clouds.

A frame file is one text header line and then raw frames, so one file holds
a sequence of frames of one size::

    torvi.save_distance("dist.kxd", frame.distance())          # creates the file
    torvi.save_distance("dist.kxd", next_frame.distance())     # appends a frame
    for d in torvi.load_distance("dist.kxd"):                  # float32 (h, w), metres
        ...
"""

from __future__ import annotations

import os
from typing import IO, Iterator, Union

import numpy as np

from . import _torvi

PathOrFile = Union[str, "os.PathLike[str]", IO[bytes]]


def _save(save, target: PathOrFile, image, fmt: str) -> None:
    if hasattr(target, "fileno"):
        target.flush()
        save(target.fileno(), image, fmt)
        return
    # Appending: the header is written only when the file is new (empty).
    fd = os.open(os.fspath(target), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        save(fd, image, fmt)
    finally:
        os.close(fd)


def save_distance(target: PathOrFile, distance, format: str = "f32") -> None:  # noqa: A002
    """Appends distance frames (metres; shape (h, w) or (frames, h, w)) to a
    frame file: format 'f32', 'u32' or 'u16' (millimetres, truncated)."""
    _save(_torvi._save_distance, target, np.asarray(distance, dtype=np.float32), format)


def save_gray(target: PathOrFile, gray, format: str = "u16") -> None:  # noqa: A002
    """Appends one gray frame (shape (h, w)) to a frame file: 'u16' or 'u8'."""
    _save(_torvi._save_gray, target, np.asarray(gray, dtype=np.float32), format)


def _load(load, source: PathOrFile) -> Iterator[np.ndarray]:
    if hasattr(source, "fileno"):
        while True:
            frame = load(source.fileno())
            if frame is None:
                return
            yield frame
    fd = os.open(os.fspath(source), os.O_RDONLY)
    try:
        while True:
            frame = load(fd)
            if frame is None:
                return
            yield frame
    finally:
        os.close(fd)


def load_distance(source: PathOrFile) -> Iterator[np.ndarray]:
    """The distance frames of a frame file, one float32 (h, w) array (metres)
    after another. Read one file at a time (the library remembers the last
    header it read)."""
    return _load(_torvi._load_distance, source)


def load_gray(source: PathOrFile) -> Iterator[np.ndarray]:
    """The gray frames of a frame file, one float32 (h, w) array after another."""
    return _load(_torvi._load_gray, source)


def save_ply(path: Union[str, "os.PathLike[str]"], points, colors=None) -> int:
    """Writes a point cloud as a binary little-endian PLY file: points of
    shape (N, 3) or (h, w, 3) in metres (rows with NaN are left out), and
    optional uint8 colours of the same shape. Returns the number of points."""
    pts = np.asarray(points, dtype=np.float32).reshape(-1, 3)
    keep = np.isfinite(pts).all(axis=1)
    pts = pts[keep]
    cols = None
    if colors is not None:
        cols = np.asarray(colors, dtype=np.uint8).reshape(-1, 3)
        if cols.shape[0] != keep.shape[0]:
            raise ValueError("colors must match points")
        cols = cols[keep]
    header = ["ply", "format binary_little_endian 1.0", f"element vertex {len(pts)}",
              "property float x", "property float y", "property float z"]
    if cols is not None:
        header += ["property uchar red", "property uchar green", "property uchar blue"]
    header.append("end_header")
    if cols is None:
        body = pts.astype("<f4").tobytes()
    else:
        rec = np.empty(len(pts), dtype=[("p", "<f4", 3), ("c", "u1", 3)])
        rec["p"] = pts
        rec["c"] = cols
        body = rec.tobytes()
    with open(path, "wb") as f:
        f.write(("\n".join(header) + "\n").encode("ascii"))
        f.write(body)
    return len(pts)
