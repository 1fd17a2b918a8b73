import contextlib
import os
import socket
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

try:
    import av, numpy, PIL  # noqa: F401,E401
    MISSING = None
except ImportError as e:
    MISSING = str(e)
    collect_ignore = ["test_frames.py", "test_zeft.py"]

SPOT = (384.0, 287.0, 12.0, 7.0)
SYNTHETIC = "synthetic:0?x=%g&y=%g&sx=%g&sy=%g&noise=0" % SPOT
SERVERS = {
    "clean": dict(device=SYNTHETIC),
    "noisy": dict(device="synthetic:0?noise=100", lossy=1),  # noise does not compress: raw frames
    # 320 x 201 turned a quarter: an odd width of 201
    "turned": dict(device="aravis:Fake_1?width=320&height=201&rate=50", mode=0,
                   orientation="ROT90CW", genicam="[GenICam]\nFakeCamera=1\nUSB3Vision=0\n"),
}


def pytest_sessionfinish(session, exitstatus):
    if MISSING and session.testscollected == 0:  # a skip (missing modules), not a pass without tests
        session.exitstatus = 77


@pytest.fixture(scope="session")
def servers():
    from program import Program

    started = {name: Program(os.environ["LUMERIX2_EXE"], **kw) for name, kw in SERVERS.items()}
    try:
        with ThreadPoolExecutor(len(started)) as pool:
            list(pool.map(lambda p: p.wait_grabbing(), started.values()))
        yield started
    finally:
        codes = {name: p.stop() for name, p in started.items()}
    assert codes == {name: 0 for name in started}


@contextlib.contextmanager
def fake_server(stream, end=True):
    """Sends `stream` to its one client, then ends the connection or (end=False) stays silent."""
    with socket.create_server(("127.0.0.1", 0)) as server:
        done = threading.Event()

        def serve():
            with server.accept()[0] as peer:
                peer.sendall(stream)
                if end:
                    peer.shutdown(socket.SHUT_WR)
                done.wait(10)

        threading.Thread(target=serve, daemon=True).start()
        yield f"127.0.0.1:{server.getsockname()[1]}"
        done.set()
