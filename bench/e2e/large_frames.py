#!/usr/bin/python3
"""The real program with the synthetic 5 and 12 megapixel cameras at their own rates: one
lumerix2-view client on the Lossless channel (and one on the Lossy channel with --both),
frames received, frame numbers missed, the server's drops and its CPU by thread; then the
unpaced camera on one core (taskset) and on all.

Usage: bench/e2e/large_frames.py [--build build/release] [--seconds 20] [--only paced|unpaced]
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "support"))
from program import Program  # noqa: E402

MODES = {"2448x2048@75": (9, 75.0), "4096x3000@30": (10, 30.0)}
HZ = os.sysconf("SC_CLK_TCK")


class Viewer:
    """lumerix2-view on one channel: counts frames and the frame numbers it missed."""

    def __init__(self, view, port):
        self.process = subprocess.Popen([view, f"127.0.0.1:{port}", "--count", "100000000", "--timeout", "30"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.count = self.missed = self.last = 0
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        for line in self.process.stdout:
            m = re.match(r"frame (\d+) ", line)
            if not m:
                continue
            n = int(m.group(1))
            with self.lock:
                if self.last and n > self.last + 1:
                    self.missed += n - self.last - 1
                self.last = n
                self.count += 1

    def sample(self):
        with self.lock:
            return self.count, self.missed

    def stop(self):
        self.process.terminate()
        self.process.wait()


def ticks(pid):
    """CPU ticks of the process and of each thread by name."""
    def read(path):
        fields = pathlib.Path(path).read_text().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    threads = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            name = (task / "comm").read_text().strip()
            threads[name] = threads.get(name, 0) + read(task / "stat")
        except OSError:
            pass
    return read(f"/proc/{pid}/stat"), threads


def metrics(p):
    log = pathlib.Path(p.dir, "Lumerix2.log").read_text()
    port = re.findall(r"Web server on http://127\.0\.0\.1:(\d+)/", log)[-1]
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as r:
        text = r.read().decode()
    values = {}
    for name in ("capture_drops_total", "pipeline_drains_total", "frames_processed_total"):
        m = re.search(rf"^lumerix2_{name} (\S+)$", text, re.M)
        values[name] = float(m.group(1)) if m else 0.0
    values["client_dropped"] = sum(float(v) for v in re.findall(r"^lumerix2_dropped_total\{[^}]*\} (\S+)$", text, re.M))
    return values


def run(args, label, mode, rate, both, pace=True, cores=None):
    device = "synthetic:0" if pace else "synthetic:0?pace=0"
    p = Program(args.exe, device, mode=mode, lossy=1 if both else 0).wait_grabbing(120)
    try:
        if cores is not None:
            subprocess.run(["taskset", "-a", "-p", "-c", cores, str(p.process.pid)], check=True,
                           stdout=subprocess.DEVNULL)
        viewers = [Viewer(args.view, p.lossless)] + ([Viewer(args.view, p.lossy)] if both else [])
        time.sleep(args.warmup)
        m0, (c0, t0), v0, w0 = metrics(p), ticks(p.process.pid), [v.sample() for v in viewers], time.monotonic()
        time.sleep(args.seconds)
        m1, (c1, t1), v1, w1 = metrics(p), ticks(p.process.pid), [v.sample() for v in viewers], time.monotonic()
        for v in viewers:
            v.stop()
        wall = w1 - w0
        frames = v1[0][0] - v0[0][0]
        cpu = (c1 - c0) / HZ
        drops = {k: m1[k] - m0[k] for k in m0}
        processed = drops.pop("frames_processed_total")
        row = {
            "case": label, "channels": "both" if both else "lossless", "cores": cores or "all",
            "target": rate, "received/s": frames / wall,
            "missed": sum(b[1] - a[1] for a, b in zip(v0, v1)),
            "lossy/s": (v1[1][0] - v0[1][0]) / wall if both else 0.0,
            "capture drops": drops["capture_drops_total"], "pipeline drains": drops["pipeline_drains_total"],
            "client dropped": drops["client_dropped"],
            "cores used": cpu / wall, "ms CPU/frame": 1000 * cpu / max(processed, 1),
            "threads": {n: (t1.get(n, 0) - t0.get(n, 0)) / HZ / wall for n in t1 if t1.get(n, 0) - t0.get(n, 0) > 0},
        }
        return row
    finally:
        p.stop()


def show(row):
    print(f"{row['case']:14} {row['channels']:8} cores {row['cores']:3}  {row['received/s']:6.1f} frames/s "
          f"(target {row['target']:g}), lossy {row['lossy/s']:5.1f}/s, missed {row['missed']}, "
          f"capture drops {row['capture drops']:.0f}, drains {row['pipeline drains']:.0f}, "
          f"client dropped {row['client dropped']:.0f}; {row['cores used']:.2f} cores, "
          f"{row['ms CPU/frame']:.1f} ms CPU/frame")
    print("    " + ", ".join(f"{n} {100 * s:.0f} %" for n, s in sorted(row["threads"].items(), key=lambda x: -x[1])))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--warmup", type=float, default=4)
    parser.add_argument("--only", choices=["paced", "unpaced"])
    args = parser.parse_args()
    args.exe = os.path.abspath(os.path.join(args.build, "bin", "lumerix2"))
    args.view = os.path.abspath(os.path.join(args.build, "bin", "lumerix2-view"))
    if args.only != "unpaced":
        for label, (mode, rate) in MODES.items():
            for both in (False, True):
                show(run(args, label, mode, rate, both))
    if args.only != "paced":
        for label, (mode, rate) in MODES.items():
            for cores in ("0", None):
                show(run(args, label.split("@")[0] + " unpaced", mode, 0, False, pace=False, cores=cores))


if __name__ == "__main__":
    main()
