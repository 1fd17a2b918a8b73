#!/usr/bin/python3
"""Watches a camera server's frames as numpy arrays (its [Stream] with Pattern=PUB).

  stream_watch.py tcp://camsrv7:31779 [--count 100] [--show]

Every subscriber gets every frame it can take; one that falls behind loses frames, never the
others. --show draws them with matplotlib (Debian python3-matplotlib).
"""

import argparse
import json

import numpy as np
import zmq

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("endpoint")
parser.add_argument("--count", type=int, default=100)
parser.add_argument("--show", action="store_true")
args = parser.parse_args()

with zmq.Context() as ctx, ctx.socket(zmq.SUB) as s:
    s.setsockopt(zmq.SUBSCRIBE, b"")
    s.setsockopt(zmq.RCVHWM, 2)  # a slow watcher sees recent frames, not a backlog
    s.connect(args.endpoint)
    if args.show:
        import matplotlib.pyplot as plt

        shown = None
    for _ in range(args.count):
        head, body = s.recv_multipart(copy=False)
        h = json.loads(head.bytes)
        img = np.frombuffer(body.buffer, np.uint8).reshape(h["shape"])  # Content=raw
        print(h["frame"], img.shape, img.dtype, "max", img.max(), "spot", h["spot"])
        if args.show:
            if shown is None:
                shown = plt.imshow(img, cmap="gray", vmin=0, vmax=255)
            shown.set_data(img)
            plt.title(f"frame {h['frame']}")
            plt.pause(0.001)
