"""Live accuracy check of the distance pipeline against the virtual camera's
ground truth: for a few wall distances, the share of valid pixels, the
median and the RMS error. The pattern for testing your own pipeline: replace
`frame.distance()` by your processing and compare with `vc.ground_truth()`.

    python3 accuracy_check.py [--frames 10] [--walls 500 1500 3000]
"""

import argparse
import sys

import numpy as np

import torvi


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--frames", type=int, default=10)
    p.add_argument("--walls", type=float, nargs="+", default=[500, 1000, 1500, 2500, 4000])
    p.add_argument("--product", default=None, help="virtual camera product string")
    args = p.parse_args()
    print(f"{'wall mm':>8} {'valid %':>8} {'median mm':>10} {'RMS mm':>8}")
    worst = 0.0
    for wall in args.walls:
        with torvi.VirtualCamera(seed=1, product=args.product) as vc:
            vc.set_wall(wall)
            truth = vc.ground_truth().astype(np.float64)
            errs, valid_share = [], []
            with torvi.open() as cam:
                for frame in cam.stream(count=args.frames):
                    d = frame.distance().astype(np.float64) * 1000.0
                    valid = (d > 0) & (d < 60000)
                    valid_share.append(valid.mean())
                    errs.append(d[valid] - truth[valid])
        e = np.concatenate(errs)
        rms = float(np.sqrt(np.mean(e ** 2))) if e.size else float("nan")
        worst = max(worst, rms)
        print(f"{wall:8.0f} {100 * np.mean(valid_share):8.1f} {np.median(e):10.2f} {rms:8.2f}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except torvi.Error as err:
        print(f"error: {err}", file=sys.stderr)
        sys.exit(1)
