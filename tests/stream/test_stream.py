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
from program import Program  # noqa: E402

SPOT = (300.0, 200.0, 10.0, 6.0)


def start(stream):
    device = "synthetic:0?x=%g&y=%g&sx=%g&sy=%g&noise=0" % SPOT
    p = Program(os.environ["LUMERIX2_EXE"], device, genicam="[Stream]\n" + stream).wait_grabbing()
    p.log = pathlib.Path(p.dir, "Lumerix2.log")
    return p


def image(h, body):
    if h["encoding"] == "raw":
        return np.frombuffer(body, np.uint8).reshape(h["shape"])
    import av

    n, (height, width) = h["format_length"], h["shape"]
    ctx = av.CodecContext.create("huffyuv", "r")
    ctx.width, ctx.height, ctx.extradata = width, height, body[40:n]
    (y, *_) = ctx.decode(av.Packet(body[n:]))[0].planes  # the gray frame is the Y plane
    return np.frombuffer(y, np.uint8).reshape(height, y.line_size)[:, :width]


@pytest.mark.parametrize("pattern,content", [("PUB", "raw"), ("PUSH", "lossless")])
def test_frames_arrive_whole_with_their_header(pattern, content):
    p = start(f"Enabled=1\nEndpoint=tcp://127.0.0.1:*\nPattern={pattern}\nContent={content}\n")
    try:
        while not (m := re.search(r"Stream on (tcp://\S+) \(", p.log.read_text())):
            time.sleep(0.05)
        with zmq.Context() as ctx, ctx.socket(zmq.SUB if pattern == "PUB" else zmq.PULL) as s:
            s.setsockopt(zmq.SUBSCRIBE, b"") if pattern == "PUB" else None
            s.setsockopt(zmq.RCVTIMEO, 10000)
            s.connect(m.group(1))
            received = [s.recv_multipart() for _ in range(40)]
    finally:
        assert p.stop() == 0
    headers = [json.loads(head) for head, _ in received]
    for h, (_, body) in zip(headers, received):
        assert (h["htype"], h["type"], h["shape"], h["width"], h["height"], h["orientation"], h["scale"],
                h["encoding"]) == ("lumerix2-frame-1", "uint8", [574, 768], 768, 574, "NORM", 1.5,
                                   "raw" if content == "raw" else "huffyuv")
        assert abs(h["timestamp"] - time.time()) < 120
        img = image(h, body).astype(float) - 12
        y, x = np.indices(img.shape)
        assert ((x * img).sum() / img.sum(), (y * img).sum() / img.sum()) == pytest.approx(SPOT[:2], abs=1)
        assert (h["spot"]["x"], h["spot"]["y"]) == pytest.approx(SPOT[:2], abs=1)
        if "beam" in h:  # measured on its own thread while records are encoded: another frame's
            assert h["beam"]["frame"] >= 1
            assert h["beam"]["centroid"]["x"] == pytest.approx(SPOT[0], abs=1)
    numbers = [h["frame"] for h in headers]
    assert numbers == sorted(set(numbers)) and "beam" in headers[-1]


def test_bad_settings_are_one_line_and_the_server_serves():
    with socket.create_server(("127.0.0.1", 0)) as taken:
        busy = "tcp://127.0.0.1:%d" % taken.getsockname()[1]
        for stream, line in [
            ("Enabled=1\nPattern=PULL\n", 'Stream not started: unknown Pattern "PULL" (PUSH or PUB).'),
            (f"Enabled=1\nEndpoint={busy}\n", f"Stream not started: cannot bind {busy} (Address already in use)."),
        ]:
            p = start(stream)  # and grabbing
            try:
                with socket.create_connection(("127.0.0.1", p.lossless), timeout=10) as viewer:
                    assert len(viewer.recv(88, socket.MSG_WAITALL)) == 88  # a frame's header
                text = p.log.read_text()
            finally:
                assert p.stop() == 0
            assert text.count("Stream not started") == 1 and line in text, text[-2000:]
