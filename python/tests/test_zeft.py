import struct

import numpy as np
import pytest
from conftest import SPOT, fake_server

import lumerix2


@pytest.fixture(scope="module")
def cam(servers):
    with lumerix2.Zeft(servers["clean"].control, timeout=5.0) as zeft:
        yield zeft


def test_reads(cam):
    values = {p: cam.read(p) for p in ("C_WIDTH", "C_HEIGHT", "C_BPP", "S_isStarted", "C_ORIENTATION",
                                       "C_CAMNAME", "C_SCALE", "S_COMPRESSION")}
    assert values == {"C_WIDTH": 768, "C_HEIGHT": 574, "C_BPP": 8, "S_isStarted": 1, "C_ORIENTATION": "NORM",
                      "C_CAMNAME": "Python test", "C_SCALE": 1.5, "S_COMPRESSION": int.from_bytes(b"HFYU", "little")}
    x, y, sx, sy = cam.read("S_SPOTDATA")
    assert abs(x - SPOT[0]) <= 0.5 and abs(y - SPOT[1]) <= 0.5 and sx > 0 and sy > 0


@pytest.mark.parametrize("prop, value, code, text", [
    ("C_DYNAMICSCALE", 0.0, 2, "scale not accepted!"),
    ("C_SCALE", "1e9", 2, ""),
    ("C_WIDTH", 5, 73, ""),
    ("S_COMPRESSION", 1, 73, "not_implemented"),
    ("S_StartTime", "now", 515, "Error!"),
    ("S_START", 2, 515, "Internal error!"),
    ("NO_SUCH", 1, 36, "Illegal property."),
])
def test_refused_writes_carry_code_and_text(cam, prop, value, code, text):
    with pytest.raises(lumerix2.ZeftError) as refused:
        cam.write(prop, value)
    assert (refused.value.code, refused.value.text) == (code, text)


def test_scale_reaches_the_frames(servers, cam):
    with lumerix2.FrameClient(f"127.0.0.1:{servers['clean'].lossless}") as client:
        cam.write("C_DYNAMICSCALE", 2.5)
        try:
            scales = [f.scale for f in client.frames(count=8)]
        finally:
            cam.write("C_DYNAMICSCALE", 1.5)
    assert scales[-1] == 2.5 and set(scales) <= {1.5, 2.5}


def test_monitor_and_frame_transfer(servers, cam):
    spots = list(cam.monitor("S_SPOTDATA", interval_ms=20, count=4))
    assert spots == [spots[0]] * 4  # no noise: every frame measures the same
    with lumerix2.Zeft(servers["clean"].frames) as device:
        one, two = device.frame(), device.frame()
    assert (one.width, one.height, one.compressed) == (768, 574, True)
    assert two.number > one.number
    assert np.array_equal(one.image, two.image)  # no noise: every frame is the same


def test_replies_that_break_the_protocol():
    body = struct.pack("<hHIIB", 0, 515, 2, 4, 0) + bytes(4)  # two elements in 4 bytes
    with fake_server(struct.pack("<IBBHII", 0x5446455A, 1, 4, 1, 1, len(body)) + body) as address:
        with pytest.raises(lumerix2.ZeftError, match="format 515, 2 elements in 4 bytes") as e:
            lumerix2.Zeft(f"/T/{address}/D").read("P")
    assert e.value.code == -5
