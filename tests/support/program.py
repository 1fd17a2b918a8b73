"""The real program, headless, in a temporary program directory with ports of its own: the one
launcher of the Python tests and benches (tests/support/Program.h is the C++ one)."""

import collections
import fcntl
import os
import pathlib
import random
import re
import shutil
import socket
import subprocess
import tempfile
import time


def free_port(port=0):
    with socket.socket() as s:
        try:
            s.bind(("", port))
            return s.getsockname()[1]
        except OSError:
            return None


# A free ZEFT port is not bound until the server starts: test processes running side by side
# claim one through a lock file, held while this process runs its newest few programs.
HELD = collections.deque()


def claim_zeft_port(port):
    fd = os.open(f"/tmp/lumerix2-zeft-offset-{port - 32100}.lock", os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return False
    HELD.append(fd)
    if len(HELD) > 4:
        os.close(HELD.popleft())
    return True


class Program:
    """`exe` defaults to $LUMERIX2_EXE; `files` (name: bytes) are written into the program
    directory before the start."""

    def __init__(self, exe=None, device="synthetic:0", mode=4, orientation="NORM", lossy=0, genicam="", files=None):
        self.exe = os.path.abspath(exe or os.environ["LUMERIX2_EXE"])
        self.dir = tempfile.mkdtemp(prefix="lumerix2-py-")
        self.lossless, self.lossy = free_port(), free_port()
        # ZEFT listens on 32100 + an offset of 0 to 30: take one nobody holds now.
        zeft = next((p for p in random.sample(range(32100, 32131), 31) if free_port(p) and claim_zeft_port(p)), 32130)
        self.zeft = zeft
        self.control, self.frames = f"/TEST/127.0.0.1:{zeft}/LUMERIX", f"/TEST/127.0.0.1:{zeft}/device_0"
        self.write("Lumerix2.cfg",
                   f"[DEFAULT]\nLISTENPORTNUMBER={self.lossless}\nLISTENPORTNUMBERLOSSY={self.lossy}\n"
                   f"LOSSYENABLED={lossy}\nZEFTFRAMEEQPNAME=PYCAMF\nZEFTCONTROLEQPNAME=PYCAM\nZEFTPORTNUMBER={zeft - 32100}\n"
                   f"ZEFTCONTEXT=TEST\n[HTTP]\nPort=0\nBindAddress=127.0.0.1\n[CameraSettings]\nName=Python test\n"
                   f"Scale=1.5\nOrientation={orientation}\n{genicam}")
        self.hardware(device, mode)
        for name, data in (files or {}).items():
            pathlib.Path(self.dir, name).write_bytes(data)
        os.symlink(self.exe, os.path.join(self.dir, "lumerix2"))
        self.start()

    def write(self, name, text):
        pathlib.Path(self.dir, name).write_text(text)

    def hardware(self, device, mode):
        """The camera from the next start or S_UPDATE on."""
        self.write("curhardware.cfg", f"[GlobalSettings]\nType=DirectShow\nDevicePath={device}\nDeviceVideoMode={mode}\n")

    def start(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.process = subprocess.Popen([os.path.join(self.dir, "lumerix2"), "/a"], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def log(self):
        path = pathlib.Path(self.dir, "Lumerix2.log")
        return path.read_text(errors="replace") if path.exists() else ""

    def wait_grabbing(self, limit=60.0, starts=1):
        """Waits for the `starts`-th "Grabbing started." of the log (restarts add to it)."""
        end = time.monotonic() + limit
        while self.log().count("Grabbing started.") < starts:
            if self.process.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"no grabbing: {self.log()[-2000:]}")
            time.sleep(0.05)
        return self

    @property
    def web(self):
        """HOST:PORT of the web server of the newest run."""
        ports = re.findall(r"Web server on http://127\.0\.0\.1:(\d+)/", self.log())
        if not ports:
            raise RuntimeError("the web server has not started")
        return f"127.0.0.1:{ports[-1]}"

    def restart(self):
        """Stops (SIGTERM, exit status 0 expected) and starts again in the same directory."""
        self.process.terminate()
        code = self.process.wait(30)
        self.start()
        return code

    def stop(self):
        self.process.terminate()
        try:
            return self.process.wait(30)
        finally:
            self.process.kill()  # nothing to do once it has exited
            shutil.rmtree(self.dir, ignore_errors=True)
