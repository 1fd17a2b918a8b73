"""Frames of a Lumerix2 camera server as numpy arrays, its beam and its ZEFT properties.

>>> import lumerix2
>>> with lumerix2.FrameClient("127.0.0.1:31777") as client:
...     frame = client.latest()            # frame.image: uint8 (height, width)
>>> lumerix2.Zeft("/TAVO/127.0.0.1:32111/LUMERIX").read("S_SPOTDATA")   # (x, y, sx, sy)
>>> lumerix2.Web("127.0.0.1:8080").beam().centroid                       # (x, y)
"""

from .frames import Frame, FrameClient, FrameError, decode_message
from .web import Beam, Peak, Stability, Web, WebError
from .zeft import Reply, Zeft, ZeftError

__all__ = [
    "Beam", "Frame", "FrameClient", "FrameError", "Peak", "Reply", "Stability", "Web", "WebError",
    "Zeft", "ZeftError", "decode_message",
]
# The package's one version: pyproject.toml reads it from here.
__version__ = "0.1.0"
