"""The real program's stream, read by pyzmq peers written from the message layout alone: raw
frames into numpy, HuffYUV frames through libavcodec, and bad settings that leave the rest of
the server serving."""

import json
import os
import pathlib
import re
import socket
import time

import numpy as np
import pytest

zmq = pytest.importorskip("zmq")
import lumerix2  # noqa: E402
from program import Program  # noqa: E402

SPOT = (300.0, 200.0, 10.0, 6.0)
DEVICE = "synthetic:0?x=%g&y=%g&sx=%g&sy=%g&noise=0" % SPOT


def start(stream):
    p = Program(os.environ["LUMERIX2_EXE"], DEVICE, genicam="[Stream]\n" + stream).wait_grabbing()
    p.log = pathlib.Path(p.dir, "Lumerix2.log")
    return p


def endpoint(p):
    end = time.monotonic() + 20
    while not (m := re.search(r"Stream on (tcp://\S+) \(", p.log.read_text())):
        assert time.monotonic() < end, p.log.read_text()[-2000:]
        time.sleep(0.05)
    return m.group(1)


def frames(p, kind, count):
    with zmq.Context() as ctx, ctx.socket(kind) as s:
        if kind == zmq.SUB:
            s.setsockopt(zmq.SUBSCRIBE, b"")
        s.setsockopt(zmq.RCVTIMEO, 10000)
        s.connect(endpoint(p))
        return [s.recv_multipart() for _ in range(count)]


def centroid(image):
    y, x = np.indices(image.shape)
    w = image.astype(float) - np.median(image)
    w[w < 0] = 0
    return (x * w).sum() / w.sum(), (y * w).sum() / w.sum()


@pytest.mark.parametrize("pattern,content", [("PUB", "raw"), ("PUSH", "lossless")])
def test_frames_arrive_whole_with_their_header(pattern, content):
    p = start(f"Enabled=1\nEndpoint=tcp://127.0.0.1:*\nPattern={pattern}\nContent={content}\n")
    try:
        received = frames(p, zmq.SUB if pattern == "PUB" else zmq.PULL, 40)
    finally:
        assert p.stop() == 0
    numbers = []
    for head, body in received:
        h = json.loads(head)
        assert (h["htype"], h["type"], h["shape"]) == ("lumerix2-frame-1", "uint8", [574, 768])
        assert (h["width"], h["height"], h["orientation"], h["scale"]) == (768, 574, "NORM", 1.5)
        assert abs(h["timestamp"] - time.time()) < 120
        if content == "raw":
            assert h["encoding"] == "raw"
            image = np.frombuffer(body, np.uint8).reshape(h["shape"])
        else:
            import av

            assert h["encoding"] == "huffyuv"
            n = h["format_length"]
            ctx = av.CodecContext.create("huffyuv", "r")
            ctx.width, ctx.height, ctx.extradata = 768, 574, body[40:n]
            (picture,) = ctx.decode(av.Packet(body[n:]))
            y = picture.planes[0]  # the gray frame is the Y plane
            image = np.frombuffer(y, np.uint8).reshape(574, y.line_size)[:, :768]
        assert centroid(image) == pytest.approx(SPOT[:2], abs=1.0)
        assert [h["spot"][k] for k in ("x", "y")] == pytest.approx(SPOT[:2], abs=1.0)
        if "beam" in h:  # measured on its own thread: an earlier frame's
            assert h["beam"]["frame"] <= h["frame"]
            assert h["beam"]["centroid"]["x"] == pytest.approx(SPOT[0], abs=1.0)
        numbers.append(h["frame"])
    assert numbers == sorted(numbers) and len(set(numbers)) == len(numbers)
    assert any("beam" in json.loads(head) for head, _ in received[-5:])


def test_bad_settings_are_one_line_and_the_server_serves():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        busy = "tcp://127.0.0.1:%d" % taken.getsockname()[1]
        for stream, line in [
            ("Enabled=1\nPattern=PULL\n", 'Stream not started: unknown Pattern "PULL" (PUSH or PUB).'),
            (f"Enabled=1\nEndpoint={busy}\n", f"Stream not started: cannot bind {busy} (Address already in use)."),
        ]:
            p = start(stream)
            try:
                with lumerix2.FrameClient(f"127.0.0.1:{p.lossless}", timeout=10) as client:
                    assert next(client.frames(count=1)).image.shape == (574, 768)
                text = p.log.read_text()
            finally:
                assert p.stop() == 0
            assert text.count("Stream not started") == 1 and line in text, text[-2000:]
