#!/usr/bin/python3
"""Frames/s through the stream into numpy, and the server's CPU per frame with it on and off.

  /usr/bin/python3 bench/stream/stream_bench.py [--exe build/release/bin/lumerix2] [--seconds 10]

Starts the real program on the unpaced synthetic camera (768 x 574) in a temporary program
directory, three times: stream off; PUSH to three worker processes; PUB to one subscriber
(Content=raw, each frame taken into a numpy array). Prints the frames the server processed
and the peers received per second, the stream's sent and dropped counts, and the server's
CPU time (user + system) per processed frame, the synthetic camera's thread apart. Peers and
server share the machine.
"""

import argparse
import json
import multiprocessing as mp
import os
import pathlib
import re
import sys
import time
import urllib.request

import numpy as np
import zmq

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
sys.path[:0] = [os.path.join(root, "tests", "support")]

from program import Program  # noqa: E402

DEVICE = "synthetic:0?pace=0"


def peer(endpoint, kind, go, stop, counts):
    with zmq.Context() as ctx, ctx.socket(kind) as s:
        if kind == zmq.SUB:
            s.setsockopt(zmq.SUBSCRIBE, b"")
        s.setsockopt(zmq.RCVTIMEO, 200)
        s.connect(endpoint)
        n = 0
        while not stop.is_set():
            try:
                head, body = s.recv_multipart(copy=False)
            except zmq.Again:
                continue
            h = json.loads(head.bytes)
            image = np.frombuffer(body.buffer, np.uint8).reshape(h["shape"])
            n += go.is_set() and image.shape == (574, 768)
        counts.put(n)


def health(p):
    return json.loads(urllib.request.urlopen(p.url + "/api/status", timeout=10).read())["health"]


def cpu(pid):
    """CPU seconds of the server's threads, the unpaced synthetic camera's apart: it renders
    as fast as it is let, so it takes whatever the rest leaves over."""
    server = camera = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            fields = open(f"/proc/{pid}/task/{task}/stat").read().rsplit(")", 1)[1].split()
            name = open(f"/proc/{pid}/task/{task}/comm").read().strip()
        except OSError:  # a thread that just ended
            continue
        ticks = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        if name == "lx-synthetic":
            camera += ticks
        else:
            server += ticks
    return server, camera


def run(exe, seconds, stream, kind=None, peers=0):
    p = Program(exe, DEVICE, genicam="[Stream]\n" + stream).wait_grabbing()
    try:
        log = pathlib.Path(p.dir, "Lumerix2.log")
        while not (m := re.search(r"Web server on (http://\S+?)/", log.read_text())):
            time.sleep(0.05)
        p.url = m.group(1)
        go, stop, counts = mp.Event(), mp.Event(), mp.Queue()
        procs = []
        if peers:
            while not (m := re.search(r"Stream on (tcp://\S+) \(", log.read_text())):
                time.sleep(0.05)
            procs = [mp.Process(target=peer, args=(m.group(1), kind, go, stop, counts)) for _ in range(peers)]
            for q in procs:
                q.start()
        time.sleep(3)  # peers connected, rate settled
        h0, c0, t0 = health(p), cpu(p.process.pid), time.monotonic()
        go.set()
        time.sleep(seconds)
        go.clear()
        h1, c1, t1 = health(p), cpu(p.process.pid), time.monotonic()
        stop.set()
        received = sum(counts.get(timeout=30) for _ in procs)
        for q in procs:
            q.join()
    finally:
        p.stop()
    frames = h1["frames_processed"] - h0["frames_processed"]
    return {
        "processed/s": frames / (t1 - t0),
        "received/s": received / (t1 - t0),
        "sent": h1["stream_sent"] - h0["stream_sent"],
        "dropped": h1["stream_dropped"] - h0["stream_dropped"],
        "ms CPU/frame": 1000 * (c1[0] - c0[0]) / max(frames, 1),
        "camera ms/frame": 1000 * (c1[1] - c0[1]) / max(frames, 1),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", default=os.path.join(root, "build/release/bin/lumerix2"))
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()
    on = "Enabled=1\nEndpoint=tcp://127.0.0.1:*\nContent=raw\nPattern="
    runs = [
        ("stream off", "Enabled=0\n", None, 0),
        ("PUSH, 3 workers", on + "PUSH\n", zmq.PULL, 3),
        ("PUB, 1 subscriber", on + "PUB\n", zmq.SUB, 1),
    ]
    print(f"{'run':20} {'processed/s':>12} {'received/s':>11} {'sent':>7} {'dropped':>8} {'ms CPU/frame':>13}"
          f" {'camera ms/frame':>16}")
    for name, stream, kind, peers in runs:
        r = run(args.exe, args.seconds, stream, kind, peers)
        print(f"{name:20} {r['processed/s']:12.0f} {r['received/s']:11.0f} {r['sent']:7d} {r['dropped']:8d} "
              f"{r['ms CPU/frame']:13.3f} {r['camera ms/frame']:16.3f}")


if __name__ == "__main__":
    main()
