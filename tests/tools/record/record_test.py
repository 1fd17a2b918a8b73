"""lumerix2-record against the real program on the synthetic and the replay camera, read back
with h5py and compared with frames decoded by libavcodec (PyAV) from a second connection,
and its beam with the formula of the replayed frames and with what the server measured.

Environment: LUMERIX2_EXE, LUMERIX2_RECORD, LUMERIX2_ZEFT (paths of the built programs)."""
import math
import os
import re
import resource
import signal
import socket
import struct
import subprocess
import threading
import time

import av
import h5py
import numpy as np
import pytest

import lumerix2
from program import Program, free_port

RECORDER, ZEFT = os.environ.get("LUMERIX2_RECORD", ""), os.environ.get("LUMERIX2_ZEFT", "")
SPOT = (60, 40, 6, 4)  # x, y, sx, sy of the synthetic spot
WIDTH, HEIGHT = 160, 120  # mode 7 of the synthetic camera, 100 frames/s


def synthetic(mode=7):
    return Program(device="synthetic:0?x=%d&y=%d&sx=%d&sy=%d&noise=2" % SPOT, mode=mode).wait_grabbing()


def record(args, **kw):
    return subprocess.Popen([RECORDER] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, **kw)


def read_channel(port, stop, messages):
    """Reads lossless messages until `stop` is set, kept by frame number; decoded later, so
    that this client keeps up."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        stream = s.makefile("rb")
        while not stop.is_set():
            head = stream.read(88)
            messages[struct.unpack_from("<I", head, 20)[0]] = (head, stream.read(
                struct.unpack_from("<I", head, 8)[0] - 88))


def decode(head, body):
    """The image of a lossless message, from the wire format alone, with libavcodec."""
    magic, kind, _, _, format_len = struct.unpack_from("<I4sIII", head)
    width, height, compressed = struct.unpack_from("<III", head, 40)
    assert magic == 0x11223344 and kind == b"HFYU", head
    if not compressed:
        return np.frombuffer(body, np.uint8).reshape(height, width)
    codec = av.CodecContext.create("huffyuv", "r")
    codec.width, codec.height = width, height
    codec.extradata = body[40:format_len]
    (picture,) = codec.decode(av.Packet(body[format_len:]))
    luma = picture.planes[0]
    return np.frombuffer(luma, np.uint8).reshape(height, luma.line_size)[:, :width]


def text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def check_valid(path, minimum=1):
    """The file opens, its layout is whole and every row count agrees; the frame count."""
    with h5py.File(path, "r") as f:
        entry, data = f["entry"], f["entry/data"]
        assert text(entry.attrs["NX_class"]) == "NXentry"
        assert text(data.attrs["NX_class"]) == "NXdata"
        assert text(f["entry/instrument/camera"].attrs["NX_class"]) == "NXdetector"
        n = data["data"].shape[0]
        assert n >= minimum
        for name, shape in (("frame_number", (n,)), ("timestamp", (n,)), ("scale", (n,)),
                            ("spot", (n, 4))):
            assert data[name].shape == shape, name
        for name, shape in (("centroid", (n, 2)), ("sigma", (n, 3)), ("D4sigma", (n, 2)), ("angle", (n,)),
                            ("total", (n,)), ("valid", (n,))):
            assert f["entry/beam"][name].shape == shape, name
        frames = data["data"][...]  # every chunk readable
        assert (frames.reshape(n, -1).max(axis=1) > 0).all()
        return n


@pytest.fixture(scope="module")
def server():
    p = synthetic()
    yield p
    assert p.stop() == 0


@pytest.fixture
def out(tmp_path):
    return lambda name: str(tmp_path / name)


def test_fifty_frames_match_an_independent_decoding(server, out):
    path = out("burst.h5")
    seen = {}
    stop = threading.Event()
    reader = threading.Thread(target=read_channel, args=(server.lossless, stop, seen))
    reader.start()
    began = time.time()
    p = record([f"127.0.0.1:{server.lossless}", "--frames", "50", "--output", path])
    stdout, err = p.communicate(timeout=60)
    ended = time.time()
    stop.set()
    reader.join(60)
    assert p.returncode == 0, err
    assert re.search(r"50 frames written to .*burst.h5, \d+ frame numbers missed", stdout)

    with h5py.File(path, "r") as f:
        data = f["entry/data"]
        assert data["data"].shape == (50, HEIGHT, WIDTH)
        assert data["data"].dtype == np.uint8
        assert data["data"].chunks == (1, HEIGHT, WIDTH)
        numbers = data["frame_number"][...]
        assert numbers.dtype == np.uint32
        assert (np.diff(numbers.astype(np.int64)) > 0).all()
        times = data["timestamp"][...]
        assert text(data["timestamp"].attrs["units"]) == "s"
        # Capture times: the first frame may have waited in the server's queue briefly.
        assert (times >= began - 1).all() and (times <= ended).all(), times
        spot = data["spot"][...]
        assert (np.abs(spot[:, 0] - SPOT[0]) <= 0.5).all(), spot[:, 0]
        assert (np.abs(spot[:, 1] - SPOT[1]) <= 0.5).all(), spot[:, 1]
        assert (spot[:, 2:] > 0).all()  # widths: background counts in them
        assert (data["scale"][...] > 0).all()
        assert text(data.attrs["signal"]) == "data"
        assert [text(a) for a in data.attrs["axes"]] == ["frame_number", ".", "."]
        entry = f["entry"]
        assert text(entry.attrs["server"]) == f"127.0.0.1:{server.lossless}"
        version = subprocess.run([RECORDER, "--version"], capture_output=True, text=True)
        assert text(entry.attrs["program"]) == version.stdout.strip()
        assert re.search(r"^lumerix2-record \d+\.\d+", version.stdout)
        for name in ("start_time", "end_time"):
            assert re.search(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$", text(entry.attrs[name]))
        camera = f["entry/instrument/camera"]
        assert list(camera["frame_size"][...]) == [HEIGHT, WIDTH]
        assert camera["bits_per_pixel"][()] == 8
        assert camera["frame_rate"][()] > 0
        common = [i for i, n in enumerate(numbers) if int(n) in seen]
        assert len(common) >= 10  # a client that falls behind loses frames
        for i in common:
            np.testing.assert_array_equal(data["data"][i], decode(*seen[int(numbers[i])]))
        frames = data["data"][...]
        assert len({f.tobytes() for f in frames}) > 1  # noise: frames differ

    layout = subprocess.run(["h5dump", "-H", path], capture_output=True, text=True)
    assert layout.returncode == 0, layout.stderr
    for name in ('GROUP "entry"', 'GROUP "data"', 'DATASET "data"', 'DATASET "frame_number"',
                 'DATASET "timestamp"', 'DATASET "scale"', 'DATASET "spot"',
                 'GROUP "instrument"', 'GROUP "camera"', "( 50, 120, 160 ) / ( H5S_UNLIMITED",
                 "H5T_STD_U8LE", "H5T_STD_U32LE", "H5T_IEEE_F64LE", 'ATTRIBUTE "NX_class"'):
        assert name in layout.stdout

    try:
        from silx.io import nxdata
    except ImportError:
        return
    with h5py.File(path, "r") as f:
        assert nxdata.is_valid_nxdata(f["entry/data"])
        assert nxdata.get_default(f).signal.shape == (50, HEIGHT, WIDTH)

def test_deflate_keeps_every_pixel(server, out):
    plain, packed = out("plain.h5"), out("packed.h5")
    for path, level in ((plain, "0"), (packed, "6")):
        p = record([f"127.0.0.1:{server.lossless}", "--frames", "20", "--deflate", level,
                    "--output", path])
        p.communicate(timeout=60)
        assert p.returncode == 0
    with h5py.File(packed, "r") as f:
        d = f["entry/data/data"]
        assert d.compression == "gzip"
        assert d.compression_opts == 6
        assert d.shape == (20, HEIGHT, WIDTH)
        assert (d[...].reshape(20, -1).max(axis=1) > 100).all()
    with h5py.File(plain, "r") as f:
        stored = f["entry/data/data"].id.get_storage_size()
    with h5py.File(packed, "r") as f:
        assert f["entry/data/data"].id.get_storage_size() < stored / 2

def test_interrupt_closes_the_file_and_a_crash_loses_only_unflushed_frames(server, out):
    for sig, code in ((signal.SIGINT, 0), (signal.SIGTERM, 0), (signal.SIGKILL, -9)):
        path = out(f"interrupted-{sig}.h5")
        p = record([f"127.0.0.1:{server.lossless}", "--output", path])
        # The first status line comes a second in, right after a flush.
        status = re.match(r"(\d+) frames, ", p.stdout.readline())
        assert status
        p.send_signal(sig)
        stdout, err = p.communicate(timeout=30)
        assert p.returncode == code, err
        assert check_valid(path) >= int(status[1])
        assert ("frames written" in stdout) == (code == 0)

def test_existing_output(server, out):
    path = out("existing.h5")
    with open(path, "w") as f:
        f.write("keep me")
    p = record([f"127.0.0.1:{server.lossless}", "--frames", "2", "--output", path])
    assert "exists" in p.communicate(timeout=30)[1]
    assert p.returncode == 2
    with open(path) as f:
        assert f.read() == "keep me"
    p = record([f"127.0.0.1:{server.lossless}", "--frames", "2", "--output", path, "--overwrite"])
    p.communicate(timeout=30)
    assert p.returncode == 0
    assert check_valid(path) == 2

def test_disk_full_keeps_every_complete_frame(server, out):
    path = out("full.h5")
    limit = 2 << 20

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    p = record([f"127.0.0.1:{server.lossless}", "--frames", "1000", "--output", path],
               preexec_fn=small_files)
    stdout, err = p.communicate(timeout=60)
    assert p.returncode == 4, err
    assert "file size limit" in err
    n = check_valid(path, minimum=10)
    assert n < 1000
    assert os.path.getsize(path) <= limit
    assert f"{n} frames written" in stdout

def test_command_line_and_connection_failures(server, out):
    cases = [
        (["--help"], 0, "exit status"),
        ([f"127.0.0.1:{server.lossless}", "--output", out("x.h5"), "--bogus"], 2, "usage"),
        ([f"127.0.0.1:{server.lossless}", "--output", out("x.h5"), "--deflate", "10"], 2,
         "--deflate"),
        ([f"127.0.0.1:{server.lossless}", "--frames", "3", "--seconds", "1", "--output", "y.h5"], 2,
         "exclude"),
        ([f"127.0.0.1:{server.lossless}"], 2, "usage"),
        ([f"127.0.0.1:{free_port()}", "--output", out("x.h5")], 1, "cannot connect"),
    ]
    for args, code, message in cases:
        p = subprocess.run([RECORDER] + args, capture_output=True, text=True, timeout=30)
        assert p.returncode == code, args
        assert message in p.stdout + p.stderr, args
    assert not os.path.exists(out("x.h5"))

def test_stalled_server_times_out_and_keeps_the_frames_it_sent(server, out):
    path = out("stalled.h5")
    frame = np.zeros((4, 8), np.uint8)
    frame[2, 5] = 200
    head = bytearray(88)
    struct.pack_into("<I4sIIII", head, 0, 0x11223344, b"HFYU", 88 + 32, 32, 0, 7)
    struct.pack_into("<III", head, 40, 8, 4, 0)
    struct.pack_into("<II", head, 72, 8, 8)
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        began = time.time()
        p = record([f"127.0.0.1:{listener.getsockname()[1]}", "--timeout", "1",
                    "--output", path])
        conn, _ = listener.accept()
        # Frame 8 claims a format that is not HuffYUV: skipped and named.
        bad = bytearray(head)
        struct.pack_into("<IIII", bad, 8, 88 + 40 + 16, 16, 40, 8)
        struct.pack_into("<I", bad, 48, 1)
        bad += struct.pack("<IiiHHI", 40, 8, 4, 1, 16, 0x58585858) + bytes(20 + 16)
        conn.sendall(bytes(head) + frame.tobytes() + bytes(bad))
        struct.pack_into("<I", head, 20, 9)
        conn.sendall(bytes(head) + frame.tobytes() + bytes(head[:40]))  # then silence
        stdout, err = p.communicate(timeout=30)
        conn.close()
    assert p.returncode == 1
    assert "time-out" in err
    assert "1 frames not decoded and skipped: 8" in stdout
    assert time.time() - began < 10
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["entry/data/data"][...], [frame, frame])
        assert f["entry/data/spot"][...].tolist() == [[5, 2, 0, 0]] * 2
        assert list(f["entry/data/frame_number"]) == [7, 9]


def test_reconfigured_camera_ends_the_file(out):
    server = synthetic()
    try:
        path = out("resized.h5")
        p = record([f"127.0.0.1:{server.lossless}", "--seconds", "60", "--output", path])
        status = re.match(r"(\d+) frames, ", p.stdout.readline())  # some are flushed
        assert status
        server.hardware("synthetic:0?x=%d&y=%d&sx=%d&sy=%d&noise=2" % SPOT, 6)  # 320 x 240
        zeft = subprocess.run([ZEFT, "write", server.control, "S_UPDATE", "1"], capture_output=True, text=True,
                              timeout=30)
        assert zeft.returncode == 0, zeft.stdout + zeft.stderr
        _, err = p.communicate(timeout=60)
        assert p.returncode == 3, err
        assert "320x240" in err
        check_valid(path, minimum=int(status[1]))
        with h5py.File(path, "r") as f:
            assert f["entry/data/data"].shape[1:] == (HEIGHT, WIDTH)
    finally:
        assert server.stop() == 0


W, H, X0, Y0, S1, S2, THETA = 320, 240, 150.3, 110.7, 14.0, 8.0, 30.0  # σ major, minor; degrees
JITTER, PERIOD = 2.0, 8  # x of the centre moves by JITTER·sin(2π k / PERIOD) in frame k


def dark_level():
    """The dark frame the server starts with: a ramp along x, as unlike a flat background as
    a camera's fixed pattern."""
    return np.tile(20 + 40 * np.arange(W) / W, (H, 1))


def beam_frames(folder):
    """PERIOD frames: a rotated elliptical Gaussian on the dark level with noise, its centre
    moving along x; the frame's bytes name its k."""
    y, x = np.mgrid[0:H, 0:W].astype(float)
    t, rng, frames = math.radians(THETA), np.random.default_rng(3), {}
    for k in range(PERIOD):
        cx = X0 + JITTER * math.sin(2 * math.pi * k / PERIOD)
        u = (x - cx) * math.cos(t) + (y - Y0) * math.sin(t)
        v = -(x - cx) * math.sin(t) + (y - Y0) * math.cos(t)
        beam = dark_level() + 180 * np.exp(-(u**2 / (2 * S1**2) + v**2 / (2 * S2**2)))
        frame = np.clip(np.rint(beam + rng.normal(0, 1, beam.shape)), 0, 255).astype(np.uint8)
        (folder / f"beam{k:02d}.pgm").write_bytes(b"P5\n%d %d\n255\n" % (W, H) + frame.tobytes())
        frames[frame.tobytes()] = k
    return frames


def measured_roi(web):
    try:
        return web.beam().roi
    except lumerix2.WebError:  # 503 before the first measured frame
        return None


def test_beam_of_every_frame_as_the_server_measures_it(tmp_path):
    frames = beam_frames(tmp_path)
    dark = b"P5\n# frames 16\n%d %d\n65535\n" % (W, H) + np.rint(dark_level() * 256).astype(">u2").tobytes()
    p = Program(device=f"replay:{tmp_path}?rate=25&loop=1", mode=0, files={"Lumerix2-dark.pgm": dark})
    try:
        p.wait_grabbing()
        web = lumerix2.Web(p.web)
        web.set_roi(40, 30, 240, 180)
        deadline = time.monotonic() + 30
        while measured_roi(web) != (40, 30, 240, 180):
            assert time.monotonic() < deadline
            time.sleep(0.05)
        path = str(tmp_path / "beam.h5")
        rec = record([f"127.0.0.1:{p.lossless}", "--web", p.web, "--frames", str(8 * PERIOD), "--output", path])
        measured = {}  # what the server measured, by frame number, while the recorder ran
        while rec.poll() is None:
            b = web.beam()
            measured[b.frame] = (*b.centroid, *b.sigma, *b.width, b.angle, b.total)
            time.sleep(0.01)
        assert rec.wait() == 0, rec.stderr.read()
        assert web.beam().background == "dark"
    finally:
        assert p.stop() == 0
    with h5py.File(path, "r") as f:
        b = f["entry/beam"]
        assert (text(b.attrs["background"]), b.attrs["dark_frames"], list(b.attrs["region"])) == (
            "dark frame of the server", 16, [40, 30, 240, 180])
        assert b["valid"][...].all()
        numbers, pixels = f["entry/data/frame_number"][...], f["entry/data/data"][...]
        rows = np.column_stack([b["centroid"], b["sigma"], b["D4sigma"], b["angle"], b["total"]])
        # The same frames measured alike by the server and the recorder (JSON has 6 digits).
        common = [i for i, n in enumerate(numbers) if int(n) in measured]
        assert len(common) >= 5
        for i in common:
            np.testing.assert_allclose(rows[i], measured[int(numbers[i])], rtol=1e-5)
        # Every frame against its formula.
        k = np.array([frames[frame.tobytes()] for frame in pixels])
        assert rows[:, 0] == pytest.approx(X0 + JITTER * np.sin(2 * np.pi * k / PERIOD), abs=0.15)
        assert rows[:, 1] == pytest.approx(np.full(len(k), Y0), abs=0.15)
        assert rows[:, 5:7].mean(axis=0) == pytest.approx([4 * S1, 4 * S2], rel=0.015)
        # A sine of amplitude A along x: a line of A at rate / PERIOD, Δx = 4 A / √2, Δy ≈ 0.
        assert b.attrs["stability_frames"] == len(k) and abs(b.attrs["stability_azimuth"]) < 1
        rate = b.attrs["stability_rate_hz"]
        assert rate == pytest.approx(25, rel=0.05)  # from the capture times of a loaded machine
        delta = b.attrs["stability_delta"]
        assert delta[0] == pytest.approx(4 * JITTER / math.sqrt(2), rel=0.03) and delta[1] < 0.3
        f_hz, amplitude = b.attrs["stability_lines_x"][:2]
        # Frames a loaded machine drops or delays by most of a period count as missing and are
        # bridged by interpolation, which a period of 8 frames does not survive: the line is
        # judged on a series without such gaps.
        dt = np.diff(f["entry/data/timestamp"][...])
        if (np.diff(numbers.astype(np.int64)) == 1).all() and (dt < 1.6 * np.median(dt)).all():
            assert f_hz == pytest.approx(rate / PERIOD, abs=rate / len(k)) and amplitude == pytest.approx(JITTER, rel=0.05)
    from silx.io import open as silx_open  # a NeXus reader opens the beam too

    with silx_open(path) as f:
        assert f["entry/beam/centroid"].shape == (len(k), 2) and f["entry/data/data"].shape[0] == len(k)
