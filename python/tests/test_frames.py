import io
import socket
import struct
import time

import av
import numpy as np
import pytest
from conftest import SPOT, fake_server

import lumerix2


def read_message(sock):
    """One message as the wire format frames it, read without the client."""
    data = b""
    while len(data) < 88 or len(data) < struct.unpack_from("<I", data, 8)[0]:
        data += sock.recv(88 - len(data) if len(data) < 88 else struct.unpack_from("<I", data, 8)[0] - len(data))
    return data


def chunk(tag, data):
    return tag + struct.pack("<I", len(data)) + data + b"\0" * (len(data) % 2)


def avi_gray(message):
    """libavformat and libavcodec decode the message's data from an AVI of one frame."""
    fmt_len, width, height = struct.unpack_from("<I", message, 16)[0], *struct.unpack_from("<II", message, 40)
    block, data = message[88 : 88 + fmt_len], message[88 + fmt_len :]
    w, h = struct.unpack_from("<ii", block, 4)
    avih = struct.pack("<14I", 40000, 0, 0, 0, 1, 0, 1, 0, w, h, 0, 0, 0, 0)
    strh = b"vidsHFYU" + struct.pack("<IHHIIIIIIIII4h", 0, 0, 0, 0, 1, 25, 0, 1, 0, 0xFFFFFFFF, 0, 0, 0, 0, w, h)
    strl = chunk(b"LIST", b"strl" + chunk(b"strh", strh) + chunk(b"strf", block))
    movi = chunk(b"LIST", b"movi" + chunk(b"00dc", data))
    idx1 = chunk(b"idx1", b"00dc" + struct.pack("<III", 0x10, 4, len(data)))
    riff = chunk(b"RIFF", b"AVI " + chunk(b"LIST", b"hdrl" + chunk(b"avih", avih) + strl) + movi + idx1)
    with av.open(io.BytesIO(riff), format="avi") as container:
        picture = next(container.decode(video=0))
    y = np.frombuffer(picture.planes[0], np.uint8).reshape(-1, picture.planes[0].line_size)
    return y[:height, :width]


def synthetic_image(width, height, x, y, sx, sy):
    fx = np.exp(-((np.arange(width) - x) ** 2) / (2 * sx * sx))
    fy = 200 * np.exp(-((np.arange(height) - y) ** 2) / (2 * sy * sy))
    return np.clip(np.round(12 + fy[:, None] * fx[None, :]), 0, 255)


@pytest.mark.parametrize("server, shape", [("clean", (574, 768)), ("turned", (320, 201))])
def test_huffyuv_frames_equal_what_libavcodec_decodes(servers, server, shape):
    with socket.create_connection(("127.0.0.1", servers[server].lossless), timeout=10) as sock:
        message = read_message(sock)
    frame = lumerix2.decode_message(message)
    assert (frame.compressed, frame.image.shape, frame.image.dtype) == (True, shape, np.uint8)
    assert (frame.header["bits_per_pixel"], frame.scale, frame.kind) == (8, 1.5, "HFYU")
    np.testing.assert_array_equal(frame.image, avi_gray(message))
    if server == "clean":  # rounding may differ on a half
        assert np.abs(frame.image - synthetic_image(768, 574, *SPOT)).max() <= 1


def test_raw_and_lossy_channels(servers):
    with lumerix2.FrameClient(f"127.0.0.1:{servers['noisy'].lossless}") as client:
        frames = list(client.frames(count=3))
    assert {(f.compressed, f.image.shape, f.header["data_length"]) for f in frames} == {(False, (574, 768), 440832)}
    assert frames[0].number < frames[1].number < frames[2].number
    assert abs(frames[0].time - time.time()) < 10
    with lumerix2.FrameClient(f"127.0.0.1:{servers['noisy'].lossy}") as client:
        frame = client.latest()
    assert (frame.kind, frame.image.shape, frame.header["camera_name"]) == ("JFIF", (574, 768, 3), "Python test")
    assert frame.jpeg[:2] == b"\xff\xd8" and frame.jpeg[-2:] == b"\xff\xd9"


def test_latest_skips_what_queued_up(servers):
    with lumerix2.FrameClient(f"127.0.0.1:{servers['clean'].lossless}") as client:
        first = next(client.frames(count=1))
        time.sleep(0.4)  # ten frames at 25/s; the socket holds several
        newest = client.latest()
        assert newest.number > first.number + 2
        assert next(client.frames(count=1)).number > newest.number


def header(magic=0x11223344, total=96, data=8, fmt=0, width=4, height=2, compressed=0):
    return struct.pack("<I4sIIII16xIII", magic, b"HFYU", total, data, fmt, 7, width, height, compressed) + bytes(36)


GOOD = header() + bytes(range(8))
BLOCK = struct.pack("<IiiHHII16x", 44, 4, 2, 1, 16, int.from_bytes(b"HFYU", "little"), 4) + bytes(4)


@pytest.mark.parametrize("stream, error", [
    (GOOD + bytes(88), r"not a frame message: magic 0x00000000.*byte 96 "),
    (header(total=80), r"total length 80 is below"),
    (header(total=5088, data=5000, width=100, height=50) + bytes(100), r"ended mid-message: 188 of 5088 bytes"),
    (header(total=136, data=4, fmt=44, compressed=1) + BLOCK + bytes(4), r"HuffYUV data could not be decoded"),
    (header(total=132, data=4, fmt=40, compressed=1) + BLOCK[:40] + bytes(4), r"block of 40 bytes gives its size as 44"),
    (GOOD[:40], None),
])
def test_bad_streams_raise_with_the_reason(stream, error):
    with fake_server(stream, end=error is not None) as address:
        with lumerix2.FrameClient(address, timeout=0.5) as client:
            frames = client.frames()
            if stream.startswith(GOOD):
                assert next(frames).image.tolist() == [[0, 1, 2, 3], [4, 5, 6, 7]]
            with pytest.raises(TimeoutError if error is None else lumerix2.FrameError, match=error):
                next(frames)
