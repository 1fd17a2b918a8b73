#!/usr/bin/python3
"""lumerix2-record throughput and steadiness against the real program.

usage: bench/record/record_bench.py [--build DIR] [--seconds S] [--steady S] [--out DIR]
                                    [--only throughput|steady]

For 768 x 574 and 1920 x 1080, the real program grabs the unpaced synthetic camera and
lumerix2-record writes its Lossless channel to OUT (default /dev/shm, a tmpfs) for S seconds
(default 10), without and with --deflate 1: sustained frames/s written, frame numbers
missed, MB/s and the recorder's CPU time per frame (all threads). Then a run at the camera's own 25 frames/s for --steady seconds (default
120): frames missed and the recorder's RSS sampled every 10 s (it must stay flat)."""
import argparse
import os
import re
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/support"))
from program import Program  # noqa: E402

MODES = {4: "768x574", 8: "1920x1080"}  # synthetic camera modes (8-bit gray)


def serve(build, mode, paced):
    device = "synthetic:0" if paced else "synthetic:0?pace=0"
    server = Program(os.path.join(build, "bin/lumerix2"), device=device, mode=mode).wait_grabbing()
    time.sleep(1)  # let the rate settle
    return server


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def record(build, server, out, seconds, deflate, sample_every=0):
    path = os.path.join(out, "lumerix2-record-bench.h5")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    p = subprocess.Popen([os.path.join(build, "bin/lumerix2-record"),
                          f"127.0.0.1:{server.lossless}", "--seconds", str(seconds), "--deflate",
                          str(deflate), "--overwrite", "--output", path],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    samples = []
    while sample_every and p.poll() is None:
        time.sleep(sample_every)
        if p.poll() is None:
            samples.append(rss_kb(p.pid))
    out_text, err = p.communicate()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    os.unlink(path) if os.path.exists(path) else None
    m = re.search(r"(\d+) frames written to .*, (\d+) frame numbers missed, ([\d.]+) s, "
                  r"([\d.]+) MB/s", out_text)
    if p.returncode != 0 or not m:
        raise RuntimeError(f"recorder failed ({p.returncode}): {out_text} {err}")
    frames, missed, secs, mbs = int(m[1]), int(m[2]), float(m[3]), float(m[4])
    return frames / secs, missed, mbs, samples, 1000 * cpu / max(frames, 1)


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--build", default="build/release")
    a.add_argument("--seconds", type=float, default=10)
    a.add_argument("--steady", type=float, default=120)
    a.add_argument("--out", default="/dev/shm")
    a.add_argument("--only", choices=("throughput", "steady"))
    o = a.parse_args()
    print(f"lumerix2-record to {o.out}, {o.seconds:g} s per run, unpaced synthetic camera")
    for mode, size in MODES.items() if o.only != "steady" else ():
        server = serve(o.build, mode, paced=False)
        try:
            for deflate in (0, 1):
                fps, missed, mbs, _, ms = record(o.build, server, o.out, o.seconds, deflate)
                print(f"  {size:>9}  deflate {deflate}: {fps:7.1f} frames/s written, "
                      f"{missed} frame numbers missed, {mbs:.1f} MB/s into the file, "
                      f"recorder CPU {ms:.2f} ms per frame")
        finally:
            server.stop()
    if o.only == "throughput":
        return
    server = serve(o.build, 4, paced=True)
    try:
        fps, missed, _, rss, _ = record(o.build, server, o.out, o.steady, 0, sample_every=10)
        # The server's own count tells its capture drops from frames the recorder missed.
        health = [line.strip() for line in server.log().splitlines() if "Health:" in line]
    finally:
        server.stop()
    print(f"  768x574 at the camera's 25 frames/s for {o.steady:g} s: {fps:.2f} frames/s, "
          f"{missed} frame numbers missed; recorder RSS every 10 s (kB): "
          + " ".join(map(str, rss)))
    if health:
        print("  server's last health line: " + health[-1])


if __name__ == "__main__":
    main()
