"""The real program, headless, in a temporary program directory with ports of its own."""

import os
import pathlib
import random
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


TAKEN = set()


class Program:
    def __init__(self, exe, device, mode=4, orientation="NORM", lossy=0, genicam=""):
        self.dir = tempfile.mkdtemp(prefix="lumerix2-py-")
        self.lossless, self.lossy = free_port(), free_port()
        # ZEFT listens on 32100 + an offset of 0 to 30: take one nobody holds now.
        zeft = next((p for p in random.sample(range(32100, 32131), 31) if p not in TAKEN and free_port(p)), 32130)
        TAKEN.add(zeft)  # programs started together must not pick the same one
        self.control, self.frames = f"/TEST/127.0.0.1:{zeft}/LUMERIX", f"/TEST/127.0.0.1:{zeft}/device_0"
        files = {
            "Lumerix2.cfg": f"[DEFAULT]\nLISTENPORTNUMBER={self.lossless}\nLISTENPORTNUMBERLOSSY={self.lossy}\n"
            f"LOSSYENABLED={lossy}\nZEFTFRAMEEQPNAME=PYCAMF\nZEFTCONTROLEQPNAME=PYCAM\nZEFTPORTNUMBER={zeft - 32100}\n"
            f"ZEFTCONTEXT=TEST\n[HTTP]\nPort=0\nBindAddress=127.0.0.1\n[CameraSettings]\nName=Python test\nScale=1.5\nOrientation={orientation}\n{genicam}",
            "curhardware.cfg": f"[GlobalSettings]\nType=DirectShow\nDevicePath={device}\nDeviceVideoMode={mode}\n",
        }
        for name, text in files.items():
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        os.symlink(os.path.abspath(exe), os.path.join(self.dir, "lumerix2"))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.process = subprocess.Popen([os.path.join(self.dir, "lumerix2"), "/a"], env=env, stderr=subprocess.DEVNULL)

    def wait_grabbing(self, limit=60.0):
        end, log = time.monotonic() + limit, pathlib.Path(self.dir, "Lumerix2.log")
        while not log.exists() or "Grabbing started." not in log.read_text(errors="replace"):
            if self.process.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"no grabbing: {log.read_text(errors='replace')[-2000:] if log.exists() else ''}")
            time.sleep(0.05)
        return self

    def stop(self):
        self.process.terminate()
        try:
            return self.process.wait(30)
        finally:
            self.process.kill()  # nothing to do once it has exited
            shutil.rmtree(self.dir, ignore_errors=True)
