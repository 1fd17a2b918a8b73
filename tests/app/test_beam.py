"""The beam measurement of the real program on frames made from a formula: a rotated
elliptical Gaussian on an offset, with noise, replayed from PGM files. Its centroid, D4σ
widths and angle through the web and ZEFT against the formula; the region and the dark
frame set through both, kept over a restart."""

import json
import math
import pathlib
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
    p.wait_grabbing(starts=starts)
    wait(lambda: p.log().count("Web server on") >= starts)
    p.url = "http://" + p.web
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


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("frames")
    make_frames(folder)
    p = Program(device=f"replay:{folder}?rate=25&loop=1", mode=0)
    serve(p, 1)
    yield p
    assert p.stop() == 0


def test_beam_matches_the_formula_on_the_web_and_over_zeft(server):
    b = beam(server)
    assert (b["valid"], b["reason"], b["background"]) == (True, "ok", "estimated")
    t = math.radians(THETA)
    assert b["sigma"]["xy"] == pytest.approx((S1**2 - S2**2) * math.sin(t) * math.cos(t), rel=0.1)

    web = lumerix2.Web(server.web)
    check(mean_of(lambda: (lambda b: (b.frame, (*b.centroid, *b.width, b.angle)))(web.beam())))
    assert b["roi"] == {"x": 0, "y": 0, "width": W, "height": H}
    p = b["profiles"]
    assert len(p["x"]) + p["x0"] <= W and len(p["y"]) + p["y0"] <= H and p["fit_x"]["r2"] > 0.9
    status = json.loads(fetch(server.url + "/api/status")[1])
    assert "profiles" not in status["beam"] and status["beam"].keys() == b.keys() - {"profiles"}
    # The projections are Gaussians of the formula's variances along x and y, where their
    # origin says.
    wb = web.beam()
    for profile, origin, centre, var in ((wb.profile_x, wb.profile_origin[0], X0, (S1 * math.cos(t)) ** 2 + (S2 * math.sin(t)) ** 2),
                                         (wb.profile_y, wb.profile_origin[1], Y0, (S1 * math.sin(t)) ** 2 + (S2 * math.cos(t)) ** 2)):
        assert profile.dtype == np.float64
        at = np.arange(len(profile)) + origin
        mean = (at * profile).sum() / profile.sum()
        assert mean == pytest.approx(centre, abs=0.3)
        assert ((at - mean) ** 2 * profile).sum() / profile.sum() == pytest.approx(var, rel=0.06)

    cam = lumerix2.Zeft(server.control, timeout=5.0)
    zb = cam.beam()
    assert zb.valid and zb.sigma[2] == pytest.approx(b["sigma"]["xy"], rel=0.1) and zb.reason is None
    check(mean_of(lambda: (lambda b: (b.frame, (*b.centroid, *b.width, b.angle)))(cam.beam())))
    # The spot data keep their own measure: centre on the beam's, and as the status gives it.
    spot = cam.read("S_SPOTDATA")
    assert spot[0:2] == (pytest.approx(X0, abs=1), pytest.approx(Y0, abs=1))
    wait(lambda: json.loads(fetch(server.url + "/api/status")[1])["spot"]["x"] == pytest.approx(spot[0], abs=1e-3))


def test_stability_on_the_web_and_over_zeft(server):
    web, cam = lumerix2.Web(server.web), lumerix2.Zeft(server.control, timeout=5.0)

    def figures():
        try:
            return web.stability()
        except lumerix2.WebError as e:
            if e.status == 404:
                pytest.skip("this server has no /api/stability")
            if e.status != 503:  # 503: no figures yet
                raise

    figures()
    web.reset_stability()
    wait(lambda: (figures() or lumerix2.Stability(0, (0, 0), (0, 0), 0, [])).frames >= 64, 60)
    s = figures()
    # Noise of one gray level moves the centroid by hundredths of a pixel.
    assert s.mean == (pytest.approx(X0, abs=0.2), pytest.approx(Y0, abs=0.2))
    assert 0 < s.delta[0] < 1 and 0 < s.delta[1] < 1 and s.rate_hz == pytest.approx(25, rel=0.1)
    assert len(s.f_hz) == len(s.spectrum_x) == len(s.spectrum_y) > 8 and s.f_hz[-1] <= s.rate_hz / 2 + 1e-9
    assert {p.axis for p in s.peaks} <= {"x", "y"} and all(0 <= p.f_hz <= s.rate_hz / 2 for p in s.peaks)
    z = cam.stability()
    assert z.frames >= s.frames and z.mean == (pytest.approx(X0, abs=0.2), pytest.approx(Y0, abs=0.2))
    web.reset_stability()
    after = figures()
    assert after is None or after.frames < s.frames


def test_region_and_dark_frame_through_both_and_over_a_restart(server):
    cam, web = lumerix2.Zeft(server.control, timeout=5.0), lumerix2.Web(server.web)
    web.set_roi(60, 40, 200, 150)
    assert cam.read("X_ROI").tolist() == [60, 40, 200, 150]
    wait(lambda: beam(server)["roi"] == {"x": 60, "y": 40, "width": 200, "height": 150})
    code, reason = fetch(server.url + "/api/roi", "PUT", b'{"x":-1,"y":0,"width":10,"height":10}')
    assert code == 400 and reason.count(b"\n") == 1
    with pytest.raises(lumerix2.ZeftError) as refused:
        cam.write("X_ROI", [0, 0, 10, 0])
    assert refused.value.code == 2
    cam.write("X_ROI", [50, 30, 220, 180])
    assert b"\nRoiX=50\nRoiY=30\nRoiWidth=220\nRoiHeight=180\n" in pathlib.Path(server.dir, "Lumerix2.cfg").read_bytes()
    with pytest.raises(lumerix2.WebError) as refused:
        web.capture_dark(300)
    assert refused.value.status == 400

    web.capture_dark(4)
    wait(lambda: beam(server)["background"] == "dark")
    assert cam.read("X_DARK") == 4 and beam(server)["dark"] == {"frames": 4, "capturing": False}
    assert server.restart() == 0
    serve(server, 2)
    wait(lambda: beam(server)["roi"] == {"x": 50, "y": 30, "width": 220, "height": 180})
    assert (beam(server)["background"], cam.read("X_DARK"), cam.read("X_ROI").tolist()) == ("dark", 4, [50, 30, 220, 180])

    lumerix2.Web(server.web).clear_dark()
    wait(lambda: beam(server)["background"] == "estimated")
    wait(lambda: not pathlib.Path(server.dir, "Lumerix2-dark.pgm").exists())
    cam.write("X_DARK", 0)
    assert fetch(server.url + "/api/stop", "POST")[0] == 204
    assert fetch(server.url + "/api/dark", "POST") == (409, b"Not grabbing.\n")
    texts = pathlib.Path(server.dir, "Lumerix2.log").read_text()
    assert "Dark frame captured (4 frames)." in texts and "Dark frame cleared." in texts
    assert 'Write from 127.0.0.1: /api/roi "{\\x22x\\x22:60,' in texts
    assert 'X_ROI "0 0 10 0", status 2' in texts and 'X_ROI "50 30 220 180", status 0' in texts
