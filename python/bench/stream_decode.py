"""Frames per second of `cam.stream()` + `frame.distance()` from Python,
against the same loop in C++ (bench/stream_decode.cpp, bench_stream_decode).

    PYTHONPATH=build/normal/python /usr/bin/python3 python/bench/stream_decode.py \
        [--cxx build/normal/bench/bench_stream_decode] [--seconds 3]

Both use an unpaced virtual camera, so they run as fast as the host can
take and decode frames; the product string (TORVI_BENCH_PRODUCT, default the
virtual camera's own EPC camera, decoded with its calibration) is the same for both. The Python
stream takes frames on a worker thread while Python decodes, so it is
compared with both C++ loops: the plain sequential one and the pipelined one
that does the same.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import torvi


def python_fps(seconds: float, product: str) -> float:
    with torvi.VirtualCamera(seed=1, product=product, plugged=False) as vc:
        vc.set_wall(1500)
        vc.set_paced(False)
        vc.plug()
        with torvi.open() as cam:
            with cam.stream() as s:
                for _ in range(20):  # warm up
                    next(s).distance()
                n = 0
                t0 = time.perf_counter()
                while time.perf_counter() - t0 < seconds:
                    next(s).distance()
                    n += 1
                return n / (time.perf_counter() - t0)


def cxx_fps(binary: str) -> dict:
    out = subprocess.run([binary, "--benchmark_format=json"], check=True, capture_output=True,
                         text=True).stdout
    return {b["name"].split("/")[0]: float(b["items_per_second"])
            for b in json.loads(out)["benchmarks"]}


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--cxx", help="path of bench_stream_decode (the C++ loop)")
    p.add_argument("--seconds", type=float, default=3.0)
    args = p.parse_args()
    product = os.environ.get("TORVI_BENCH_PRODUCT")  # None: the default EPC camera
    py = python_fps(args.seconds, product)
    print(f"python stream+distance: {py:8.1f} frames/s ({product or 'default camera'})")
    if args.cxx:
        for name, cx in cxx_fps(args.cxx).items():
            print(f"C++ {name}: {cx:8.1f} frames/s; Python takes {100.0 * (cx / py - 1.0):+.1f} % "
                  f"time per frame over it (fps ratio Python/C++ {py / cx:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
