#!/usr/bin/python3
"""One worker of a pool sharing a camera server's frames (its [Stream] with Pattern=PUSH).

  stream_worker.py tcp://camsrv7:31779 [--workers 3]

Each frame goes to one worker of the pool, whichever host it runs on; start as many as the
analysis needs, here or on other machines. Prints, per frame, the worker, the frame number,
and the centroid of the image computed with numpy.
"""

import argparse
import json
import multiprocessing
import os

import numpy as np
import zmq


def image(header, body):
    """The frame as a (height, width) uint8 array: raw as it came, HuffYUV through PyAV."""
    if header["encoding"] == "raw":
        return np.frombuffer(body, np.uint8).reshape(header["shape"])
    import av  # Content=lossless: the format block, then the compressed frame

    n, (height, width) = header["format_length"], header["shape"]
    ctx = av.CodecContext.create("huffyuv", "r")
    ctx.width, ctx.height, ctx.extradata = width, height, body[40:n]
    (picture,) = ctx.decode(av.Packet(body[n:]))
    y = picture.planes[0]  # the gray frame is the Y plane
    return np.frombuffer(y, np.uint8).reshape(height, y.line_size)[:, :width]


def work(endpoint):
    with zmq.Context() as ctx, ctx.socket(zmq.PULL) as s:
        s.setsockopt(zmq.RCVHWM, 4)  # the rest waits at the server or goes to other workers
        s.connect(endpoint)
        while True:
            head, body = s.recv_multipart(copy=False)
            header = json.loads(head.bytes)
            img = image(header, body.buffer)
            y, x = np.indices(img.shape)
            total = img.sum(dtype=np.float64) or 1.0
            beam = header.get("beam")  # the newest beam result, of frame beam["frame"]
            print(os.getpid(), header["frame"], round((x * img).sum() / total, 2),
                  round((y * img).sum() / total, 2), beam and beam["frame"], flush=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("endpoint")
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args()
    pool = [multiprocessing.Process(target=work, args=(args.endpoint,)) for _ in range(args.workers)]
    for p in pool:
        p.start()
    for p in pool:
        p.join()
