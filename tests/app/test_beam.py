"""The beam measurement of the real program on frames made from a formula: a rotated
elliptical Gaussian on an offset, with noise, replayed from PGM files. Its centroid, D4σ
widths and angle through the web and ZEFT against the formula; the region and the dark
frame set through both, kept over a restart."""

import json
import math
import os
import pathlib
import re
import subprocess
import time
import urllib.error
import urllib.request

import numpy as np
import pytest

import lumerix2
from program import Program

W, H = 320, 240
X0, Y0, S1, S2, THETA = 150.3, 110.7, 14.0, 8.0, 30.0  # centre, σ major and minor, degrees
OFFSET, AMPLITUDE, NOISE = 15.0, 180.0, 1.0


def make_frames(folder, count=8):
    y, x = np.mgrid[0:H, 0:W].astype(float)
    t = math.radians(THETA)
    u = (x - X0) * math.cos(t) + (y - Y0) * math.sin(t)
    v = -(x - X0) * math.sin(t) + (y - Y0) * math.cos(t)
    beam = OFFSET + AMPLITUDE * np.exp(-(u**2 / (2 * S1**2) + v**2 / (2 * S2**2)))
    rng = np.random.default_rng(7)
    for i in range(count):
        frame = np.clip(np.rint(beam + rng.normal(0, NOISE, beam.shape)), 0, 255).astype(np.uint8)
        pathlib.Path(folder, f"beam{i:02d}.pgm").write_bytes(b"P5\n%d %d\n255\n" % (W, H) + frame.tobytes())


def fetch(url, method="GET", body=None):
    request = urllib.request.Request(url, data=body, method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def wait(pred, limit=30.0):
    end = time.monotonic() + limit
    while not pred():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.05)


def serve(p, starts):
    """Waits for the `starts`-th grabbing start and the web server of that run."""
    log = pathlib.Path(p.dir, "Lumerix2.log")
    wait(lambda: log.exists() and log.read_text().count("Grabbing started.") >= starts, 60)
    p.url = "http://127.0.0.1:%s" % re.findall(r"Web server on http://127\.0\.0\.1:(\d+)/", log.read_text())[-1]
    wait(lambda: beam(p) is not None and beam(p)["frame"] > 0)


def beam(p):
    code, body = fetch(p.url + "/api/beam")
    return json.loads(body) if code == 200 else None


def mean_of(read, count=16):
    """The mean of (centroid x, y, D4σ major, minor, angle) over `count` distinct frames, from
    `read` giving (frame, those five)."""
    seen = {}
    wait(lambda: seen.update([read()]) or len(seen) >= count)
    return np.mean(list(seen.values()), axis=0)


def check(values):
    # One frame's widths and angle move by about 2 % and 1° with its noise; a mean does not.
    assert list(values) == [pytest.approx(X0, abs=0.2), pytest.approx(Y0, abs=0.2), pytest.approx(4 * S1, rel=0.015),
                            pytest.approx(4 * S2, rel=0.015), pytest.approx(THETA, abs=0.7)]


def restart(p):
    p.process.terminate()
    assert p.process.wait(30) == 0
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    p.process = subprocess.Popen([os.path.join(p.dir, "lumerix2"), "/a"], env=env, stderr=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("frames")
    make_frames(folder)
    p = Program(os.environ["LUMERIX2_EXE"], f"replay:{folder}?rate=25&loop=1", mode=0)
    serve(p, 1)
    yield p
    assert p.stop() == 0


def test_beam_matches_the_formula_on_the_web_and_over_zeft(server):
    b = beam(server)
    assert (b["valid"], b["reason"], b["background"]) == (True, "ok", "estimated")
    t = math.radians(THETA)
    assert b["sigma"]["xy"] == pytest.approx((S1**2 - S2**2) * math.sin(t) * math.cos(t), rel=0.1)

    def web():
        b = beam(server)
        return b["frame"], (b["centroid"]["x"], b["centroid"]["y"], b["width"]["major"], b["width"]["minor"], b["angle"])

    check(mean_of(web))
    assert b["roi"] == {"x": 0, "y": 0, "width": W, "height": H}
    p = b["profiles"]
    assert len(p["x"]) + p["x0"] <= W and len(p["y"]) + p["y0"] <= H and p["fit_x"]["r2"] > 0.9
    status = json.loads(fetch(server.url + "/api/status")[1])
    assert "profiles" not in status["beam"] and status["beam"].keys() == b.keys() - {"profiles"}

    cam = lumerix2.Zeft(server.control, timeout=5.0)
    v = cam.read("X_BEAM")
    assert len(v) == 12 and v[1] == 1 and v[6] == pytest.approx(b["sigma"]["xy"], rel=0.1)
    check(mean_of(lambda: (lambda v: (v[0], (v[2], v[3], v[7], v[8], v[9])))(cam.read("X_BEAM"))))
    # The spot data keep their own measure: centre on the beam's, and as the status gives it.
    spot = cam.read("S_SPOTDATA")
    assert spot[0:2] == (pytest.approx(X0, abs=1), pytest.approx(Y0, abs=1))
    wait(lambda: json.loads(fetch(server.url + "/api/status")[1])["spot"]["x"] == pytest.approx(spot[0], abs=1e-3))


def test_region_and_dark_frame_through_both_and_over_a_restart(server):
    cam = lumerix2.Zeft(server.control, timeout=5.0)
    assert fetch(server.url + "/api/roi", "PUT", b'{"x":60,"y":40,"width":200,"height":150}')[0] == 204
    assert cam.read("X_ROI") == [60, 40, 200, 150]
    wait(lambda: beam(server)["roi"] == {"x": 60, "y": 40, "width": 200, "height": 150})
    code, reason = fetch(server.url + "/api/roi", "PUT", b'{"x":-1,"y":0,"width":10,"height":10}')
    assert code == 400 and reason.count(b"\n") == 1
    with pytest.raises(lumerix2.ZeftError) as refused:
        cam.write("X_ROI", [0, 0, 10, 0])
    assert refused.value.code == 2
    cam.write("X_ROI", [50, 30, 220, 180])
    assert b"\nRoiX=50\nRoiY=30\nRoiWidth=220\nRoiHeight=180\n" in pathlib.Path(server.dir, "Lumerix2.cfg").read_bytes()
    assert fetch(server.url + "/api/dark?frames=300", "POST")[0] == 400

    assert fetch(server.url + "/api/dark?frames=4", "POST")[0] == 204
    wait(lambda: beam(server)["background"] == "dark")
    assert cam.read("X_DARK") == 4 and beam(server)["dark"] == {"frames": 4, "capturing": False}
    restart(server)
    serve(server, 2)
    wait(lambda: beam(server)["roi"] == {"x": 50, "y": 30, "width": 220, "height": 180})
    assert (beam(server)["background"], cam.read("X_DARK"), cam.read("X_ROI")) == ("dark", 4, [50, 30, 220, 180])

    assert fetch(server.url + "/api/dark", "DELETE")[0] == 204
    wait(lambda: beam(server)["background"] == "estimated")
    wait(lambda: not pathlib.Path(server.dir, "Lumerix2-dark.pgm").exists())
    cam.write("X_DARK", 0)
    assert fetch(server.url + "/api/stop", "POST")[0] == 204
    assert fetch(server.url + "/api/dark", "POST") == (409, b"Not grabbing.\n")
    texts = pathlib.Path(server.dir, "Lumerix2.log").read_text()
    assert "Dark frame captured (4 frames)." in texts and "Dark frame cleared." in texts
    assert 'Write from 127.0.0.1: /api/roi "{\\x22x\\x22:60,' in texts
    assert 'X_ROI "0 0 10 0", status 2' in texts and 'X_ROI "50 30 220 180", status 0' in texts
