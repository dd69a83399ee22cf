"""`python3 -m torvi` (or `torvi-py`): lists the attached cameras.

    python3 -m torvi             the cameras on USB
    python3 -m torvi --virtual   a virtual camera, to see that everything works
"""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

import torvi


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m torvi", description="Lists the cameras.")
    parser.add_argument("--virtual", action="store_true",
                        help="plug in a virtual camera first (no hardware needed)")
    args = parser.parse_args(argv)
    vc = torvi.VirtualCamera(seed=1) if args.virtual else None
    try:
        cams = torvi.list()
        print(f"torvi {torvi.version()}: {len(cams)} camera(s)"
              + (" on the virtual bus" if args.virtual else ""))
        for c in cams:
            ident = (f"{c['product']} serial {c['serial']!r} ({c['vendor']})"
                     if c["product"] is not None else "(cannot be opened now)")
            print(f"  [{c['index']}] bus {c['bus']} port {c['port']} address {c['address']}: {ident}")
        if not cams:
            print("No camera found. Is it plugged in, and may this user open it (udev rule "
                  "60-torvi.rules)? Try: python3 -m torvi --virtual", file=sys.stderr)
            return 2
        return 0
    finally:
        if vc is not None:
            vc.close()


if __name__ == "__main__":
    sys.exit(main())
