"""Frames of a Lumerix2 camera server as numpy arrays, its spot data and its ZEFT properties.

>>> import lumerix2
>>> with lumerix2.FrameClient("127.0.0.1:31777") as client:
...     frame = client.latest()            # frame.image: uint8 (height, width)
>>> lumerix2.Zeft("/TAVO/127.0.0.1:32111/LUMERIX").read("S_SPOTDATA")   # (x, y, sx, sy)
"""

from .frames import Frame, FrameClient, FrameError, decode_message
from .zeft import Reply, Zeft, ZeftError

__all__ = ["Frame", "FrameClient", "FrameError", "Reply", "Zeft", "ZeftError", "decode_message"]
__version__ = "0.1.0"
