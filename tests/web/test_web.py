"""The real program's web server: its answers against the frame channels and the control
system, the MJPEG stream read by a client written from RFC 2046 alone, the metrics through
promtool, and the live page in a headless Chromium."""

import io
import json
import os
import pathlib
import re
import socket
import subprocess
import time
import urllib.error
import urllib.request

import numpy as np
import pytest
from PIL import Image

import lumerix2
from program import Program

SPOT = (200.0, 120.0, 9.0, 6.0)
DEVICE = "synthetic:0?x=%g&y=%g&sx=%g&sy=%g&noise=0" % SPOT


def wait(pred, limit=20.0):
    end = time.monotonic() + limit
    while not pred():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.05)


@pytest.fixture(scope="module")
def server():
    p = Program(device=DEVICE).wait_grabbing()
    wait(lambda: "Web server on" in p.log())
    p.port = int(p.web.rpartition(":")[2])
    p.url = "http://" + p.web
    wait(lambda: status(p)["spot"] is not None and status(p)["fps"] > 5)
    yield p
    assert p.stop() == 0


def fetch(url, post=False):
    request = urllib.request.Request(url, data=b"" if post else None, method="POST" if post else "GET")
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def status(server):
    return json.loads(fetch(server.url + "/api/status")[2])


def test_status_png_and_snapshot_agree_with_the_channels_and_the_control_system(server):
    s = status(server)
    assert (s["state"], s["width"], s["height"], s["orientation"], s["scale"]) == ("grabbing", 768, 574, "NORM", 1.5)
    assert abs(s["spot"]["x"] - SPOT[0]) <= 2 and abs(s["spot"]["y"] - SPOT[1]) <= 2
    assert s["camera"] == {"name": "Python test", "id": "0x0", "device": DEVICE}
    zeft = lumerix2.Zeft(server.control, timeout=5.0).read("S_SPOTDATA")
    assert [s["spot"][k] for k in ("x", "y", "sx", "sy")] == pytest.approx(list(zeft), abs=1e-3)
    assert s["fps"] > 5 and s["frame"] > 0

    with lumerix2.FrameClient(f"127.0.0.1:{server.lossless}", timeout=10.0) as client:
        lossless = next(client.frames(count=1)).image
    code, headers, png = fetch(server.url + "/frame.png")
    assert (code, headers["Content-Type"]) == (200, "image/png")
    gray = Image.open(io.BytesIO(png))
    assert gray.mode == "L"
    np.testing.assert_array_equal(np.asarray(gray), lossless)  # noise=0: every frame alike

    code, headers, jpeg = fetch(server.url + "/snapshot.jpg")
    picture = Image.open(io.BytesIO(jpeg))
    assert (code, picture.format, picture.size, picture.mode) == (200, "JPEG", (768, 574), "RGB")


def test_mjpeg_stream_delivers_frame_after_frame(server):
    """RFC 2046: the body is parts between CRLF "--" boundary lines; no Content-Length used."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
        sock.sendall(b"GET /stream.mjpg HTTP/1.0\r\n\r\n")  # 1.0: no chunked coding
        data, parts, start = b"", [], time.monotonic()
        while len(parts) < 4:
            chunk = sock.recv(65536)
            assert chunk
            data += chunk
            head, sep, body = data.partition(b"\r\n\r\n")
            if not sep:
                continue
            boundary = re.search(rb'boundary="?([^";\r\n]+)', head).group(1)
            delimiter = b"--" + boundary
            pieces = (b"\r\n" + body).split(b"\r\n" + delimiter)
            parts = [p for p in pieces[1:-1]]  # the last may be incomplete
        assert b"multipart/x-mixed-replace" in head
        frames = status(server)["frame"]
    for part in parts:
        headers, _, content = part.partition(b"\r\n\r\n")
        assert b"image/jpeg" in headers
        assert Image.open(io.BytesIO(content)).size == (768, 574)
    assert time.monotonic() - start < 3  # at 25 frames/s, not a stale frame repeated
    assert frames > 0


def test_stop_start_and_metrics_that_match_the_health_line(server):
    first = fetch(server.url + "/metrics")[2].decode()
    assert fetch(server.url + "/api/stop", post=True)[0] == 204
    code, _, reason = fetch(server.url + "/api/stop", post=True)
    assert (code, reason) == (409, b"Not grabbing.\n")
    assert status(server)["state"] == "stopped"
    time.sleep(0.3)  # frames still queued at the stop are processed by now

    health = lumerix2.Zeft(server.control, timeout=5.0).read("X_HEALTH")
    numbers = [int(n) for n in re.findall(r"\d+", health)]
    # The status is published with every frame and state change, and every 5 s.
    wait(lambda: f"lumerix2_frames_processed_total {numbers[0]}\n" in fetch(server.url + "/metrics")[2].decode())
    code, headers, metrics = fetch(server.url + "/metrics")
    metrics = metrics.decode()
    assert headers["Content-Type"].startswith("text/plain; version=0.0.4")
    check = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    # The package's alert rules use only names the server exposes.
    rules = (pathlib.Path(__file__).parents[2] / "dist/prometheus/lumerix2.rules.yml").read_text()
    assert set(re.findall(r"lumerix2_[a-z_]+", rules)) <= set(re.findall(r"^# TYPE (\S+)", metrics, re.M))

    def value(text, name):
        return float(re.search(r"^" + re.escape(name) + r" (\S+)$", text, re.M).group(1))

    assert numbers[0] == value(metrics, "lumerix2_frames_processed_total")
    assert numbers[1] == value(metrics, "lumerix2_capture_drops_total")
    assert numbers[2] == value(metrics, "lumerix2_camera_lost_total")
    assert numbers[3] == value(metrics, "lumerix2_camera_stalled_total")
    assert numbers[-1] == value(metrics, "lumerix2_access_refused_total")
    lossless = re.search(r"lossless \d+ clients, (\d+) sent, (\d+) dropped", health).groups()
    assert [int(n) for n in lossless] == [value(metrics, 'lumerix2_sent_total{channel="lossless"}'),
                                          value(metrics, 'lumerix2_dropped_total{channel="lossless"}')]
    assert value(metrics, "lumerix2_grabbing") == 0
    for counter in re.findall(r"^(lumerix2_\w+_total(?:\{[^}]*\})?) ", first, re.M):
        assert value(metrics, counter) >= value(first, counter), counter
    assert fetch(server.url + "/api/start", post=True)[0] == 204
    wait(lambda: status(server)["state"] == "grabbing")


def test_live_page_in_chromium(server):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1100,700"):
        options.add_argument(a)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(server.url + "/")
        js = driver.execute_script
        wait(lambda: js("return document.getElementById('overlay').dataset.crossX !== undefined"
                        " && document.getElementById('picture').naturalWidth > 0"))
        # The cross back in picture pixels, through the same fit the page uses.
        x, y = js("""const p = document.getElementById('picture'), o = document.getElementById('overlay');
            const k = Math.min(p.clientWidth / p.naturalWidth, p.clientHeight / p.naturalHeight);
            const ox = (p.clientWidth - p.naturalWidth * k) / 2, oy = (p.clientHeight - p.naturalHeight * k) / 2;
            return [(o.dataset.crossX - ox) / k, (o.dataset.crossY - oy) / k];""")
        assert abs(x - SPOT[0]) <= 2 and abs(y - SPOT[1]) <= 2
        # The D4σ ellipse about the same centre, its axes in the spot's ratio, the major along x.
        wait(lambda: js("return document.getElementById('overlay').dataset.ellipse !== undefined"))
        o = js("const d = document.getElementById('overlay').dataset; return [d.crossX, d.crossY, d.ellipse]")
        bx, by, major, minor, angle = map(float, o[2].split())
        assert abs(bx - float(o[0])) <= 2 and abs(by - float(o[1])) <= 2 and abs(angle) < 2
        assert major / minor == pytest.approx(SPOT[2] / SPOT[3], rel=0.05)
        s = status(server)
        text = lambda i: driver.find_element("id", i).text  # noqa: E731
        assert (text("x"), text("y"), text("scale"), text("orientation"), text("state")) == (
            f"{s['spot']['x']:.1f}", f"{s['spot']['y']:.1f}", "1.500", "NORM", "grabbing")
        assert "1 web" in text("clients")
        first = driver.get_screenshot_as_png()
        time.sleep(1)
        assert driver.get_screenshot_as_png() != first  # the frame number moves on
        os.makedirs(os.environ["SCREENSHOT_DIR"], exist_ok=True)
        driver.save_screenshot(os.path.join(os.environ["SCREENSHOT_DIR"], "web-page.png"))

        driver.find_element("id", "stop").click()
        wait(lambda: text("state") == "stopped" and status(server)["state"] == "stopped")
        driver.find_element("id", "start").click()
        wait(lambda: text("state") == "grabbing" and status(server)["state"] == "grabbing")
        assert [e for e in driver.get_log("browser") if e["level"] == "SEVERE"] == []
    finally:
        driver.quit()
