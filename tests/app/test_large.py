"""A 12-megapixel camera through the real program: the synthetic 4096 x 3000 mode without
noise, so every frame is the formula's Gaussian. A lossless client (HuffYUV decoded by
libavcodec), the control system's frame transfer and the web's PNG (decoded by Pillow) each
get the whole frame, equal to the formula."""

import io
import os
import re
import pathlib
import time
import urllib.request

import numpy as np
from PIL import Image

import lumerix2
from program import Program

W, H = 4096, 3000
MODE = 10  # the synthetic camera's 4096 x 3000 GREY mode


def formula():
    """The spot the synthetic camera draws by default: the frame's centre, rms widths of a
    twentieth of each side, 200 over a background of 12."""
    y, x = np.arange(H, dtype=float), np.arange(W, dtype=float)
    fx = np.exp(-((x - (W - 1) / 2) ** 2) / (2 * (W / 20) ** 2))
    fy = 200 * np.exp(-((y - (H - 1) / 2) ** 2) / (2 * (H / 20) ** 2))
    return np.floor(12 + fy[:, None] * fx[None, :] + 0.5).astype(np.uint8)


def check(image, expected):
    assert image.shape == (H, W) and image.dtype == np.uint8
    diff = np.abs(image.astype(int) - expected)
    # Another exp() may land a value exactly on .5 elsewhere: one level, at a few pixels.
    assert diff.max() <= 1 and np.count_nonzero(diff) < 100


def test_twelve_megapixel_frames_arrive_whole():
    # Generous time-outs: a sanitizer build on a busy machine takes seconds a frame.
    p = Program(os.environ["LUMERIX2_EXE"], "synthetic:0?noise=0", mode=MODE).wait_grabbing(120)
    try:
        expected = formula()
        with lumerix2.FrameClient(f"127.0.0.1:{p.lossless}", timeout=90.0) as client:
            frames = list(client.frames(count=3))
        numbers = [f.number for f in frames]
        assert numbers == sorted(set(numbers))
        for f in frames:
            assert f.compressed and (f.width, f.height) == (W, H)
            check(f.image, expected)

        check(lumerix2.Zeft(p.frames, timeout=90.0).frame().image, expected)

        log = pathlib.Path(p.dir, "Lumerix2.log")
        end = time.monotonic() + 60
        while not (port := re.findall(r"Web server on http://127\.0\.0\.1:(\d+)/", log.read_text())):
            assert time.monotonic() < end
            time.sleep(0.1)
        with urllib.request.urlopen(f"http://127.0.0.1:{port[-1]}/frame.png", timeout=90) as r:
            check(np.asarray(Image.open(io.BytesIO(r.read()))), expected)
    finally:
        assert p.stop() == 0
