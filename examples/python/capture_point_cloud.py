"""Captures frames and saves the last one as a coloured point cloud (PLY),
its distance image as a frame file, and prints what it saw.

    python3 capture_point_cloud.py --virtual            # no hardware needed
    python3 capture_point_cloud.py --frames 30 -o cloud.ply

With a real camera, leave out --virtual. Needs a camera whose driver knows
its lens for the point cloud; otherwise give --intrinsics cx cy fx fy.
"""

import argparse
import sys

import numpy as np

import torvi


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--virtual", action="store_true", help="use a virtual camera (wall at 1.5 m "
                   "and a sphere)")
    p.add_argument("--product", default=None, help="virtual camera product string")
    p.add_argument("--frames", type=int, default=10)
    p.add_argument("-o", "--output", default="cloud.ply")
    p.add_argument("--distance-file", default="distance.kxd")
    p.add_argument("--intrinsics", type=float, nargs=4, metavar=("CX", "CY", "FX", "FY"))
    args = p.parse_args()

    vc = None
    if args.virtual:
        vc = torvi.VirtualCamera(seed=1, product=args.product)
        vc.set_wall(1500)
        vc.add_sphere(0, 0, 1000, 250)
    try:
        with torvi.open() as cam:
            print(f"camera: {cam.info['product']} serial {cam.info['serial']}")
            last = None
            for frame in cam.stream(count=args.frames):
                last = frame
            d = last.distance()
            valid = (d > 0) & (d < 60)
            print(f"frame {last.index}: {last.width}x{last.height}, sensor "
                  f"{last.sensor_temperature} C, valid {100 * valid.mean():.1f} %, "
                  f"median {np.median(d[valid]) if valid.any() else float('nan'):.3f} m")
            torvi.save_distance(args.distance_file, d)
            pts = last.point_cloud(organized=True, intrinsics=args.intrinsics)
            n = torvi.save_ply(args.output, pts, colors=last.colorized())
            print(f"wrote {n} points to {args.output} and the distance image to "
                  f"{args.distance_file}")
    except torvi.Error as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    finally:
        if vc is not None:
            vc.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
