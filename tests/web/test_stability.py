"""A beam jittering at 7 Hz in x, replayed through the real program from frames made by a
formula: the line and the positional stability on /api/stability, X_STABILITY and /metrics
against the formula, and the live page in a headless Chromium: the charts draw, a region
drawn with the mouse reaches /api/beam, no console error, and the JavaScript heap stays flat
(HEAP_SECONDS, default 30)."""

import json
import math
import os
import pathlib
import re
import subprocess
import time
import urllib.request

import numpy as np
import pytest

import lumerix2
from program import Program

RATE, F, A = 25, 7.0, 3.0  # frames/s, Hz, px: 25 frames hold 7 whole periods, a seamless loop
W, H, X0, Y0 = 320, 240, 160.0, 120.0
WINDOW = 128
BIN = RATE / WINDOW


def wait(pred, limit=30.0):
    end = time.monotonic() + limit
    while not (value := pred()):
        assert time.monotonic() < end, "timed out"
        time.sleep(0.1)
    return value


def get(url):
    with urllib.request.urlopen(url, timeout=10) as r:
        return r.read()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("jitter")
    y, x = np.mgrid[0:H, 0:W].astype(float)
    for i in range(RATE):
        cx = X0 + A * math.sin(2 * math.pi * F * i / RATE)
        g = 10 + 200 * np.exp(-((x - cx) ** 2 / (2 * 8.0**2) + (y - Y0) ** 2 / (2 * 6.0**2)))
        pathlib.Path(folder, f"{i:02d}.pgm").write_bytes(b"P5 %d %d 255\n" % (W, H) + np.rint(g).astype(np.uint8).tobytes())
    p = Program(os.environ["LUMERIX2_EXE"], f"replay:{folder}?rate={RATE}&loop=1", mode=0,
                genicam=f"[Analysis]\nStabilityFrames={WINDOW}\n").wait_grabbing()
    log = pathlib.Path(p.dir, "Lumerix2.log")
    p.url = "http://127.0.0.1:" + wait(lambda: re.search(r"Web server on http://127\.0\.0\.1:(\d+)/", log.read_text())).group(1)
    yield p
    assert p.stop() == 0


def stability(server):
    return json.loads(get(server.url + "/api/stability"))


def test_a_7_hz_jitter_shows_on_the_api_zeft_and_metrics(server):
    s = wait(lambda: (s := stability(server))["frames"] >= WINDOW - 1 and s, 60)
    assert s["rate_hz"] == pytest.approx(RATE, rel=0.01)
    assert len(s["spectrum"]["f_hz"]) == len(s["spectrum"]["x"]) == len(s["spectrum"]["y"])
    line = s["peaks"][0]
    assert line["axis"] == "x" and abs(line["f_hz"] - F) <= BIN and line["amplitude"] == pytest.approx(A, rel=0.05)
    assert all(p["amplitude"] < 0.05 * A for p in s["peaks"] if p["axis"] == "y")
    # A sine's standard deviation is A/√2, and y does not move; the mean lies on the rest position.
    assert s["delta"]["x"] == pytest.approx(4 * A / math.sqrt(2), rel=0.03) and s["delta"]["y"] < 0.1
    assert abs(s["delta"]["azimuth"]) < 1 and s["mean"]["x"] == pytest.approx(X0, abs=0.1)

    v = lumerix2.Zeft(server.control, timeout=5.0).read("X_STABILITY")
    assert len(v) == 10 and v[0] >= WINDOW - 1 and v[1] == pytest.approx(X0, abs=0.1)
    assert abs(v[6] - F) <= BIN and v[7] == pytest.approx(A, rel=0.05) and v[3] == pytest.approx(s["delta"]["x"], rel=0.03)

    metrics = get(server.url + "/metrics").decode()
    check = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    value = lambda name: float(re.search("^" + re.escape(name) + r" (\S+)$", metrics, re.M).group(1))  # noqa: E731
    assert abs(value('lumerix2_beam_stability_line_hz{axis="x"}') - F) <= BIN
    assert value('lumerix2_beam_stability_line_amplitude_pixels{axis="x"}') == pytest.approx(A, rel=0.05)
    assert value("lumerix2_beam_valid") == 1 and abs(value('lumerix2_beam_centroid_pixels{axis="y"}') - Y0) < 0.2

    request = urllib.request.Request(server.url + "/api/stability", method="DELETE")
    assert urllib.request.urlopen(request, timeout=10).status == 204
    assert stability(server)["frames"] < WINDOW / 2


def test_live_page_charts_region_and_a_flat_heap(server):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1100,900",
              "--enable-precise-memory-info"):
        options.add_argument(a)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    js = driver.execute_script
    try:
        driver.get(server.url + "/")
        points = lambda i: int(js(f"return document.getElementById('{i}').dataset.points || 0"))  # noqa: E731
        wait(lambda: all(points(i) > 10 for i in ("profilex", "profiley", "history", "spectrum")), 60)
        # The lines of a full window: fewer frames make wider bins.
        frames = lambda: int(driver.find_element("id", "window").text.split()[0] or 0)  # noqa: E731
        wait(lambda: driver.find_element("id", "window").text[:1].isdigit() and frames() >= WINDOW - 1, 60)
        peaks = js("return document.getElementById('spectrum').dataset.peaks")
        axis, f, amplitude = peaks.split(";")[0].split()
        assert axis == "x" and abs(float(f) - F) <= BIN and float(amplitude) == pytest.approx(A, rel=0.05)
        assert re.fullmatch(r"\d+\.\d\d, \d+\.\d\d px", driver.find_element("id", "delta").text)

        # A drag across the picture, from frame pixel (40, 30) to (280, 200).
        overlay = driver.find_element("id", "overlay")
        k, ox, oy, cw, ch = js("""const p = document.getElementById('picture');
            const k = Math.min(p.clientWidth / p.naturalWidth, p.clientHeight / p.naturalHeight);
            return [k, (p.clientWidth - p.naturalWidth * k) / 2, (p.clientHeight - p.naturalHeight * k) / 2,
                    p.clientWidth, p.clientHeight];""")
        at = lambda x, y: (round(ox + x * k - cw / 2), round(oy + y * k - ch / 2))  # noqa: E731
        start, end = at(40, 30), at(280, 200)
        (ActionChains(driver).move_to_element_with_offset(overlay, *start).click_and_hold()
         .move_by_offset(end[0] - start[0], end[1] - start[1]).release().perform())
        roi = wait(lambda: (r := json.loads(get(server.url + "/api/beam"))["roi"])["width"] < W and r)
        assert [roi["x"], roi["y"], roi["x"] + roi["width"], roi["y"] + roi["height"]] == pytest.approx([40, 30, 280, 200], abs=2 / k + 1)
        driver.find_element("id", "whole").click()
        wait(lambda: json.loads(get(server.url + "/api/beam"))["roi"]["width"] == W)

        # The heap after a collection, every 5 s while the page updates ten times a second.
        def heap():
            driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
            return js("return performance.memory.usedJSHeapSize")

        seconds, samples = float(os.environ.get("HEAP_SECONDS", 30)), [heap()]
        end_at = time.monotonic() + seconds
        while time.monotonic() < end_at:
            time.sleep(5)
            samples.append(heap())
        print("JS heap (bytes, every 5 s):", samples)
        assert samples[-1] < samples[0] * 1.15 + 256 * 1024, samples
        assert points("profilex") > 10  # still drawing
        assert [e for e in driver.get_log("browser") if e["level"] == "SEVERE"] == []

        # On a phone's width nothing runs off the side.
        driver.set_window_size(390, 844)
        assert js("return document.documentElement.scrollWidth <= window.innerWidth")
        os.makedirs(os.environ["SCREENSHOT_DIR"], exist_ok=True)
        driver.set_window_size(1100, 1400)
        driver.save_screenshot(os.path.join(os.environ["SCREENSHOT_DIR"], "web-stability.png"))
    finally:
        driver.quit()
