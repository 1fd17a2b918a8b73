"""lumerix2-record against the real program on the synthetic camera, read back with h5py
and compared with frames decoded by libavcodec (PyAV) from a second connection.

Arguments: SERVER RECORDER ZEFT (paths of the built programs)."""
import os
import random
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import av
import h5py
import numpy as np

SERVER, RECORDER, ZEFT = (os.path.abspath(p) for p in sys.argv[1:4])
SPOT = (60, 40, 6, 4)  # x, y, sx, sy of the synthetic spot
WIDTH, HEIGHT = 160, 120  # mode 7 of the synthetic camera, 100 frames/s


def bindable(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return s.getsockname()[1]
        except OSError:
            return 0


class Server:
    """The real program in a temporary program directory, grabbing."""

    def __init__(self, mode=7):
        self.dir = tempfile.mkdtemp(prefix="lumerix2-record-test-")
        self.port, lossy = bindable(0), bindable(0)
        self.zeft = next(32100 + k for k in random.sample(range(31), 31) if bindable(32100 + k))
        with open(os.path.join(self.dir, "Lumerix2.cfg"), "w") as f:
            f.write(f"[DEFAULT]\nLISTENPORTNUMBER={self.port}\nLISTENPORTNUMBERLOSSY={lossy}\n"
                    f"LOSSYENABLED=0\nZEFTPORTNUMBER={self.zeft - 32100}\nZEFTCONTEXT=TEST\n"
                    "ZEFTFRAMEEQPNAME=TESTCAMF\nZEFTCONTROLEQPNAME=TESTCAM\n")
        self.hardware(mode)
        exe = os.path.join(self.dir, "lumerix2")
        os.symlink(SERVER, exe)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.proc = subprocess.Popen([exe, "/a"], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        log = os.path.join(self.dir, "Lumerix2.log")
        for _ in range(600):
            if os.path.exists(log):
                with open(log, errors="replace") as f:
                    if "Grabbing started." in f.read():
                        return
            time.sleep(0.05)
        self.close()
        raise RuntimeError("the server did not start grabbing")

    def hardware(self, mode):
        x, y, sx, sy = SPOT
        with open(os.path.join(self.dir, "curhardware.cfg"), "w") as f:
            f.write("[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0?"
                    f"x={x}&y={y}&sx={sx}&sy={sy}&noise=2\nDeviceVideoMode={mode}\n")

    def address(self):
        return f"127.0.0.1:{self.port}"

    def close(self):
        self.proc.terminate()
        self.proc.wait(30)
        shutil.rmtree(self.dir, ignore_errors=True)


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


def check_valid(test, path, minimum=1):
    """The file opens, its layout is whole and every row count agrees; the frame count."""
    with h5py.File(path, "r") as f:
        entry, data = f["entry"], f["entry/data"]
        test.assertEqual(text(entry.attrs["NX_class"]), "NXentry")
        test.assertEqual(text(data.attrs["NX_class"]), "NXdata")
        test.assertEqual(text(f["entry/instrument/camera"].attrs["NX_class"]), "NXdetector")
        n = data["data"].shape[0]
        test.assertGreaterEqual(n, minimum)
        for name, shape in (("frame_number", (n,)), ("timestamp", (n,)), ("scale", (n,)),
                            ("spot", (n, 4))):
            test.assertEqual(data[name].shape, shape, name)
        frames = data["data"][...]  # every chunk readable
        test.assertTrue((frames.reshape(n, -1).max(axis=1) > 0).all())
        return n


class Recording(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        cls.tmp = tempfile.mkdtemp(prefix="lumerix2-record-out-")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def out(self, name):
        return os.path.join(self.tmp, name)

    def test_fifty_frames_match_an_independent_decoding(self):
        path = self.out("burst.h5")
        seen = {}
        stop = threading.Event()
        reader = threading.Thread(target=read_channel, args=(self.server.port, stop, seen))
        reader.start()
        began = time.time()
        p = record([self.server.address(), "--frames", "50", "--output", path])
        out, err = p.communicate(timeout=60)
        ended = time.time()
        stop.set()
        reader.join(60)
        self.assertEqual(p.returncode, 0, err)
        self.assertRegex(out, r"50 frames written to .*burst.h5, \d+ frame numbers missed")

        with h5py.File(path, "r") as f:
            data = f["entry/data"]
            self.assertEqual(data["data"].shape, (50, HEIGHT, WIDTH))
            self.assertEqual(data["data"].dtype, np.uint8)
            self.assertEqual(data["data"].chunks, (1, HEIGHT, WIDTH))
            numbers = data["frame_number"][...]
            self.assertEqual(numbers.dtype, np.uint32)
            self.assertTrue((np.diff(numbers.astype(np.int64)) > 0).all())
            times = data["timestamp"][...]
            self.assertEqual(text(data["timestamp"].attrs["units"]), "s")
            # Capture times: the first frame may have waited in the server's queue briefly.
            self.assertTrue((times >= began - 1).all() and (times <= ended).all(), times)
            spot = data["spot"][...]
            self.assertTrue((np.abs(spot[:, 0] - SPOT[0]) <= 0.5).all(), spot[:, 0])
            self.assertTrue((np.abs(spot[:, 1] - SPOT[1]) <= 0.5).all(), spot[:, 1])
            self.assertTrue((spot[:, 2:] > 0).all())  # widths: background counts in them
            self.assertTrue((data["scale"][...] > 0).all())
            self.assertEqual(text(data.attrs["signal"]), "data")
            self.assertEqual([text(a) for a in data.attrs["axes"]], ["frame_number", ".", "."])
            entry = f["entry"]
            self.assertEqual(text(entry.attrs["server"]), self.server.address())
            version = subprocess.run([RECORDER, "--version"], capture_output=True, text=True)
            self.assertEqual(text(entry.attrs["program"]), version.stdout.strip())
            self.assertRegex(version.stdout, r"^lumerix2-record \d+\.\d+")
            for name in ("start_time", "end_time"):
                self.assertRegex(text(entry.attrs[name]),
                                 r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
            camera = f["entry/instrument/camera"]
            self.assertEqual(list(camera["frame_size"][...]), [HEIGHT, WIDTH])
            self.assertEqual(camera["bits_per_pixel"][()], 8)
            self.assertGreater(camera["frame_rate"][()], 0)
            common = [i for i, n in enumerate(numbers) if int(n) in seen]
            self.assertGreaterEqual(len(common), 10)  # a client that falls behind loses frames
            for i in common:
                np.testing.assert_array_equal(data["data"][i], decode(*seen[int(numbers[i])]))
            frames = data["data"][...]
            self.assertGreater(len({f.tobytes() for f in frames}), 1)  # noise: frames differ

        layout = subprocess.run(["h5dump", "-H", path], capture_output=True, text=True)
        self.assertEqual(layout.returncode, 0, layout.stderr)
        for name in ('GROUP "entry"', 'GROUP "data"', 'DATASET "data"', 'DATASET "frame_number"',
                     'DATASET "timestamp"', 'DATASET "scale"', 'DATASET "spot"',
                     'GROUP "instrument"', 'GROUP "camera"', "( 50, 120, 160 ) / ( H5S_UNLIMITED",
                     "H5T_STD_U8LE", "H5T_STD_U32LE", "H5T_IEEE_F64LE", 'ATTRIBUTE "NX_class"'):
            self.assertIn(name, layout.stdout)

        try:
            from silx.io import nxdata
        except ImportError:
            return
        with h5py.File(path, "r") as f:
            self.assertTrue(nxdata.is_valid_nxdata(f["entry/data"]))
            self.assertEqual(nxdata.get_default(f).signal.shape, (50, HEIGHT, WIDTH))

    def test_deflate_keeps_every_pixel(self):
        plain, packed = self.out("plain.h5"), self.out("packed.h5")
        for path, level in ((plain, "0"), (packed, "6")):
            p = record([self.server.address(), "--frames", "20", "--deflate", level,
                        "--output", path])
            p.communicate(timeout=60)
            self.assertEqual(p.returncode, 0)
        with h5py.File(packed, "r") as f:
            d = f["entry/data/data"]
            self.assertEqual(d.compression, "gzip")
            self.assertEqual(d.compression_opts, 6)
            self.assertEqual(d.shape, (20, HEIGHT, WIDTH))
            self.assertTrue((d[...].reshape(20, -1).max(axis=1) > 100).all())
        self.assertLess(os.path.getsize(packed), os.path.getsize(plain) / 2)

    def test_interrupt_closes_the_file_and_a_crash_loses_only_unflushed_frames(self):
        for sig, code in ((signal.SIGINT, 0), (signal.SIGTERM, 0), (signal.SIGKILL, -9)):
            path = self.out(f"interrupted-{sig}.h5")
            p = record([self.server.address(), "--output", path])
            # The first status line comes a second in, right after a flush.
            status = re.match(r"(\d+) frames, ", p.stdout.readline())
            self.assertTrue(status)
            p.send_signal(sig)
            out, err = p.communicate(timeout=30)
            self.assertEqual(p.returncode, code, err)
            self.assertGreaterEqual(check_valid(self, path), int(status[1]))
            self.assertEqual("frames written" in out, code == 0)

    def test_existing_output(self):
        path = self.out("existing.h5")
        with open(path, "w") as f:
            f.write("keep me")
        p = record([self.server.address(), "--frames", "2", "--output", path])
        self.assertIn("exists", p.communicate(timeout=30)[1])
        self.assertEqual(p.returncode, 2)
        with open(path) as f:
            self.assertEqual(f.read(), "keep me")
        p = record([self.server.address(), "--frames", "2", "--output", path, "--overwrite"])
        p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(check_valid(self, path), 2)

    def test_disk_full_keeps_every_complete_frame(self):
        path = self.out("full.h5")
        limit = 2 << 20

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        p = record([self.server.address(), "--frames", "1000", "--output", path],
                   preexec_fn=small_files)
        out, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 4, err)
        self.assertIn("file size limit", err)
        n = check_valid(self, path, minimum=10)
        self.assertLess(n, 1000)
        self.assertLessEqual(os.path.getsize(path), limit)
        self.assertIn(f"{n} frames written", out)

    def test_command_line_and_connection_failures(self):
        cases = [
            (["--help"], 0, "exit status"),
            ([self.server.address(), "--output", self.out("x.h5"), "--bogus"], 2, "usage"),
            ([self.server.address(), "--output", self.out("x.h5"), "--deflate", "10"], 2,
             "--deflate"),
            ([self.server.address(), "--frames", "3", "--seconds", "1", "--output", "y.h5"], 2,
             "exclude"),
            ([self.server.address()], 2, "usage"),
            ([f"127.0.0.1:{bindable(0)}", "--output", self.out("x.h5")], 1, "cannot connect"),
        ]
        for args, code, message in cases:
            p = subprocess.run([RECORDER] + args, capture_output=True, text=True, timeout=30)
            self.assertEqual(p.returncode, code, args)
            self.assertIn(message, p.stdout + p.stderr, args)
        self.assertFalse(os.path.exists(self.out("x.h5")))

    def test_stalled_server_times_out_and_keeps_the_frames_it_sent(self):
        path = self.out("stalled.h5")
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
            out, err = p.communicate(timeout=30)
            conn.close()
        self.assertEqual(p.returncode, 1)
        self.assertIn("time-out", err)
        self.assertIn("1 frames not decoded and skipped: 8", out)
        self.assertLess(time.time() - began, 10)
        with h5py.File(path, "r") as f:
            np.testing.assert_array_equal(f["entry/data/data"][...], [frame, frame])
            self.assertEqual(f["entry/data/spot"][...].tolist(), [[5, 2, 0, 0]] * 2)
            self.assertEqual(list(f["entry/data/frame_number"]), [7, 9])


class SizeChange(unittest.TestCase):
    def test_reconfigured_camera_ends_the_file(self):
        server = Server()
        tmp = tempfile.mkdtemp(prefix="lumerix2-record-out-")
        try:
            path = os.path.join(tmp, "resized.h5")
            p = record([server.address(), "--seconds", "60", "--output", path])
            status = re.match(r"(\d+) frames, ", p.stdout.readline())  # some are flushed
            self.assertTrue(status)
            server.hardware(6)  # 320 x 240
            zeft = subprocess.run([ZEFT, "write", f"/TEST/127.0.0.1:{server.zeft}/LUMERIX",
                                   "S_UPDATE", "1"], capture_output=True, text=True, timeout=30)
            self.assertEqual(zeft.returncode, 0, zeft.stdout + zeft.stderr)
            out, err = p.communicate(timeout=60)
            self.assertEqual(p.returncode, 3, err)
            self.assertIn("320x240", err)
            check_valid(self, path, minimum=int(status[1]))
            with h5py.File(path, "r") as f:
                self.assertEqual(f["entry/data/data"].shape[1:], (HEIGHT, WIDTH))
        finally:
            server.close()
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
