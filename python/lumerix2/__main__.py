"""Quick looks from the shell: ``lumerix2-client snapshot|spot ...`` (``python3 -m lumerix2``)."""

from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional

from .frames import FrameClient, FrameError
from .zeft import Zeft, ZeftError


def _snapshot(args: argparse.Namespace) -> None:
    from PIL import Image

    with FrameClient(args.address, timeout=args.timeout) as client:
        frame = client.latest()
    Image.fromarray(frame.image).save(args.output)
    print(f"frame {frame.number}: {frame.width}x{frame.height} written to {args.output}")


def _spot(args: argparse.Namespace) -> None:
    with Zeft(args.address, timeout=args.timeout) as cam:
        for x, y, sx, sy in cam.monitor("S_SPOTDATA", interval_ms=args.interval, count=args.count):
            print(f"{time.time():.3f} {x:.3f} {y:.3f} {sx:.3f} {sy:.3f}", flush=True)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="lumerix2-client", description=__doc__)
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds (default 5)")
    sub = parser.add_subparsers(dest="command", required=True)
    snap = sub.add_parser("snapshot", help="save the newest frame of a channel as a picture")
    snap.add_argument("address", help="HOST:PORT of a frame channel")
    snap.add_argument("output", help="picture file; its suffix picks the format (.png)")
    spot = sub.add_parser("spot", help="print time, x, y, sx, sy of each spot value")
    spot.add_argument("address", help="/CONTEXT/HOST:PORT/DEVICE of the camera's properties")
    spot.add_argument("--count", type=int, default=None, help="values to print (default: until ^C)")
    spot.add_argument("--interval", type=int, default=100, help="ms between values (default 100)")
    args = parser.parse_args(argv)
    try:
        (_snapshot if args.command == "snapshot" else _spot)(args)
    except (OSError, FrameError, ZeftError) as e:
        print(f"lumerix2-client: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
