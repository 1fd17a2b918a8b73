#!/usr/bin/python3
"""Frames per second through lumerix2.FrameClient.frames(), decoding included.

  /usr/bin/python3 bench/python/frames_bench.py [--exe build/release/bin/lumerix2] [--seconds 10]

Starts the real program on the unpaced synthetic camera (768 x 574 and 1920 x 1080) in a
temporary program directory, reads its Lossless channel for the given time and prints the
rate, the client's CPU time per frame, the bare libavcodec decode of the same messages and
the difference: the client's own cost per frame. The server shares the machine.
"""

import argparse
import os
import socket
import struct
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
sys.path[:0] = [os.path.join(root, "python"), os.path.join(root, "tests", "support")]

import av  # noqa: E402

import lumerix2  # noqa: E402
from program import Program  # noqa: E402

MODES = [(4, "768x574"), (8, "1920x1080")]  # the synthetic camera's GREY modes


def messages(port, count):
    """Whole messages read off the channel, for the bare decode."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        out = []
        for _ in range(count):
            data = b""
            while len(data) < 88 or len(data) < struct.unpack_from("<I", data, 8)[0]:
                need = 88 if len(data) < 88 else struct.unpack_from("<I", data, 8)[0]
                data += sock.recv(need - len(data))
            out.append(data)
        return out


def bare_decode(batch):
    """CPU seconds per message of libavcodec alone (one context, packets from memory)."""
    n = struct.unpack_from("<I", batch[0], 16)[0]
    ctx = av.CodecContext.create("huffyuv", "r")
    ctx.width, ctx.height = struct.unpack_from("<ii", batch[0], 88 + 4)
    ctx.extradata, ctx.thread_count = batch[0][88 + 40 : 88 + n], 1
    packets = [av.Packet(m[88 + n :]) for m in batch]
    start = time.process_time()
    for p in packets:
        ctx.decode(p)
    return (time.process_time() - start) / len(packets)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default=os.path.join(root, "build/release/bin/lumerix2"))
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    for mode, size in MODES:
        program = Program(args.exe, device="synthetic:0?pace=0", mode=mode).wait_grabbing()
        try:
            with lumerix2.FrameClient(f"127.0.0.1:{program.lossless}", timeout=10) as client:
                next(client.frames(count=1))
                frames, compressed = 0, 0
                wall, cpu = time.monotonic(), time.process_time()
                for frame in client.frames():
                    frames += 1
                    compressed += frame.compressed
                    if time.monotonic() - wall >= args.seconds:
                        break
                wall, cpu = time.monotonic() - wall, time.process_time() - cpu
            batch = [m for m in messages(program.lossless, 50) if m[48] == 1]
            decode = bare_decode(batch) if batch else 0.0
        finally:
            program.stop()
        per_frame = cpu / frames
        print(f"{size}: {frames / wall:7.1f} frames/s ({frames} in {wall:.1f} s,"
              f" {compressed} compressed); client CPU {per_frame * 1e3:.3f} ms/frame, bare decode {decode * 1e3:.3f} ms,"
              f" client's own {(per_frame - decode) * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
