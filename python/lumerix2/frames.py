"""Clients of the two frame channels: every message as a :class:`Frame` with a numpy image."""

from __future__ import annotations

import io
import select
import socket
import struct
import time
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np

__all__ = ["Frame", "FrameClient", "FrameError", "decode_message", "split_host_port"]

HEADER_SIZE = 88
MAGIC = 0x11223344
BITMAPINFOHEADER_SIZE = 40
# Room for an 8192 x 8192 frame raw; a header asking for more is not believed.
DEFAULT_MAX_MESSAGE = HEADER_SIZE + 64 * 1024 * 1024
# Decoders allocate by the sizes a message gives, whatever its length: bound them first.
MAX_PIXELS = 64 * 1024 * 1024

_PREFIX = struct.Struct("<I4sIII")
_LOSSLESS = struct.Struct("<I4sIIIIiHhh2xIIII4xddII8x")
_LOSSLESS_NAMES = (
    "magic", "kind", "total_length", "data_length", "format_length", "number", "seconds",
    "milliseconds", "timezone", "daylight", "reserved", "width", "height", "compressed",
    "frame_rate", "scale", "bits_per_pixel", "effective_bits",
)
_LOSSY = struct.Struct("<I4sIIIIiHhh2xHHHH4xdH29sB")
_LOSSY_NAMES = (
    "magic", "kind", "total_length", "data_length", "format_length", "number", "seconds",
    "milliseconds", "timezone", "daylight", "reserved", "width", "height", "compressed",
    "scale", "bits_per_pixel", "camera_name", "terminator",
)
_BITMAPINFO = struct.Struct("<IiiHHII")
_HFYU = int.from_bytes(b"HFYU", "little")


class FrameError(Exception):
    """A frame message that breaks the wire format, or whose image cannot be decoded."""


@dataclass(frozen=True)
class Frame:
    """One frame message.

    ``image`` is the 8-bit gray frame as oriented by the server, shape (height, width); for a
    message of the Lossy channel it is the decoded false-colour picture, shape (height, width, 3),
    and ``jpeg`` holds the JPEG bytes. ``header`` maps every header field to its value.
    """

    header: Dict[str, Any]
    image: np.ndarray
    jpeg: Optional[bytes] = field(default=None, repr=False)

    @property
    def number(self) -> int:
        return int(self.header["number"])

    @property
    def time(self) -> float:
        """Capture time in seconds since 1970-01-01 00:00 UTC."""
        return self.header["seconds"] + self.header["milliseconds"] / 1000.0

    @property
    def scale(self) -> float:
        return float(self.header["scale"])

    @property
    def width(self) -> int:
        return int(self.header["width"])

    @property
    def height(self) -> int:
        return int(self.header["height"])

    @property
    def compressed(self) -> bool:
        return bool(self.header["compressed"])

    @property
    def kind(self) -> str:
        """``"HFYU"`` for a lossless message, ``"JFIF"`` for a lossy one."""
        return str(self.header["kind"])


def split_host_port(address: str) -> Tuple[str, int]:
    """``"HOST:PORT"`` (``"[::1]:PORT"`` for IPv6) as (host, port); ValueError when malformed."""
    host, sep, port = address.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or not 1 <= int(port) <= 65535:
        raise ValueError(f"not HOST:PORT: {address!r}")
    return host, int(port)


def _parse_header(raw: bytes) -> Dict[str, Any]:
    """The header's fields by name, after the checks that need no body."""
    magic, kind, total, data_length, format_length = _PREFIX.unpack_from(raw)
    if magic != MAGIC or kind not in (b"HFYU", b"JFIF"):
        raise FrameError(f"not a frame message: magic 0x{magic:08x}, kind {kind!r}")
    lossy = kind == b"JFIF"
    values = (_LOSSY if lossy else _LOSSLESS).unpack(raw)
    header = dict(zip(_LOSSY_NAMES if lossy else _LOSSLESS_NAMES, values))
    header["kind"] = kind.decode("ascii")
    if lossy:
        header["camera_name"] = header["camera_name"].split(b"\0", 1)[0].decode("latin-1")
    if total < HEADER_SIZE:
        raise FrameError(f"total length {total} is below the header's {HEADER_SIZE} bytes")
    if total != HEADER_SIZE + format_length + data_length:
        raise FrameError(
            f"total length {total} is not {HEADER_SIZE} + format length {format_length}"
            f" + data length {data_length}"
        )
    if header["width"] * header["height"] > MAX_PIXELS:
        raise FrameError(f"frame of {header['width']} x {header['height']} is above the bound")
    compressed = header["compressed"]
    if lossy or compressed == 0:
        if format_length != 0:
            raise FrameError(f"format length {format_length} in a message without a format block")
    elif compressed != 1:
        raise FrameError(f"compressed flag {compressed} is neither 0 nor 1")
    if not lossy and compressed == 0 and data_length != header["width"] * header["height"]:
        raise FrameError(
            f"raw data length {data_length} is not width x height"
            f" ({header['width']} x {header['height']})"
        )
    return header


class _HuffyuvDecoder:
    """A libavcodec decoder for one format block; the gray frame is the decoded Y plane."""

    def __init__(self, block: bytes) -> None:
        import av  # only needed for compressed frames

        if len(block) < BITMAPINFOHEADER_SIZE:
            raise FrameError(f"format block of {len(block)} bytes is shorter than 40")
        size, width, height, _, _, codec, _ = _BITMAPINFO.unpack_from(block)
        if size != len(block):
            raise FrameError(f"format block of {len(block)} bytes gives its size as {size}")
        if codec != _HFYU:
            raise FrameError(f"format block names codec 0x{codec:08x}, not HFYU")
        if width <= 0 or height <= 0 or width * height > MAX_PIXELS:
            raise FrameError(f"format block gives a frame of {width} x {height}")
        self.width, self.height = width, height
        self._context = av.CodecContext.create("huffyuv", "r")
        self._context.width, self._context.height = width, height
        self._context.thread_count = 1  # one frame out for every packet in, no delay
        if len(block) > BITMAPINFOHEADER_SIZE:
            self._context.extradata = bytes(block[BITMAPINFOHEADER_SIZE:])
        self._packet = av.Packet

    def decode(self, data: memoryview, width: int, height: int) -> np.ndarray:
        # An odd width travels one column wider: 4:2:2 needs pairs.
        if height != self.height or self.width not in (width, width + width % 2):
            raise FrameError(
                f"format block describes {self.width} x {self.height},"
                f" the header {width} x {height}"
            )
        try:
            frames = self._context.decode(self._packet(data))
        except Exception as e:  # libavcodec's errors come as several types
            raise FrameError(f"HuffYUV data could not be decoded: {e}") from None
        if len(frames) != 1:
            raise FrameError(f"HuffYUV data gave {len(frames)} frames instead of one")
        picture = frames[0]
        if (picture.width, picture.height) != (self.width, self.height):
            raise FrameError(f"decoded {picture.width} x {picture.height}, not the format block's")
        plane = picture.planes[0]
        y = np.frombuffer(plane, np.uint8, count=plane.line_size * height)
        # A view: the array keeps the decoded picture alive, the decoder never reuses it.
        return y.reshape(height, plane.line_size)[:, :width]


class _Decoders:
    """Keeps the decoder of the last format block: it stays the same while the camera does,
    but for the image size at offset 20, which is each frame's own."""

    def __init__(self) -> None:
        self._key: Optional[bytes] = None
        self._decoder: Optional[_HuffyuvDecoder] = None

    def get(self, block: bytes) -> _HuffyuvDecoder:
        key = block[:20] + block[24:]
        if self._decoder is None or key != self._key:
            self._decoder = None
            self._decoder = _HuffyuvDecoder(block)
            self._key = key
        return self._decoder


def _decode(header: Dict[str, Any], body: memoryview, decoders: _Decoders) -> Frame:
    width, height = header["width"], header["height"]
    if header["kind"] == "JFIF":
        from PIL import Image

        jpeg = bytes(body)
        try:
            with Image.open(io.BytesIO(jpeg)) as picture:
                if picture.size != (width, height):  # checked before anything is decoded
                    got = f"{picture.size[0]} x {picture.size[1]}"
                    raise FrameError(f"JPEG of {got}, header {width} x {height}")
                image = np.array(picture.convert("RGB"))  # writable, as the gray ones are
        except FrameError:
            raise
        except Exception as e:
            raise FrameError(f"JPEG data could not be decoded: {e}") from None
        return Frame(header, image, jpeg)
    if not header["compressed"]:
        image = np.frombuffer(body, np.uint8).reshape(height, width)
        return Frame(header, image.copy() if body.readonly else image)
    n = header["format_length"]
    block, data = body[:n], body[n:]
    image_size = _BITMAPINFO.unpack_from(block)[6] if n >= BITMAPINFOHEADER_SIZE else None
    decoder = decoders.get(bytes(block))
    if image_size != len(data):
        raise FrameError(f"format block gives image size {image_size}, the data is {len(data)}")
    return Frame(header, decoder.decode(data, width, height))


def decode_message(message: bytes) -> Frame:
    """One whole frame message (as FRAME.GET returns it) as a :class:`Frame`."""
    if len(message) < HEADER_SIZE:
        raise FrameError(f"message of {len(message)} bytes is shorter than its header")
    header = _parse_header(message[:HEADER_SIZE])
    if header["total_length"] != len(message):
        raise FrameError(f"total length {header['total_length']} in a message of {len(message)}")
    return _decode(header, memoryview(message)[HEADER_SIZE:], _Decoders())


class FrameClient:
    """A reader of one frame channel (Lossless or Lossy), e.g. ``FrameClient("host:31777")``.

    ``timeout`` bounds the wait for each whole message; it ends with :class:`TimeoutError`.
    Use it as a context manager, or call :meth:`close`. Not for use by several threads at once.
    """

    def __init__(
        self, address: str, timeout: float = 5.0, max_message: int = DEFAULT_MAX_MESSAGE
    ) -> None:
        self.address = address
        self.timeout = timeout
        self.max_message = max_message
        self._received = 0  # bytes of the stream so far, for the error texts
        self._decoders = _Decoders()
        self._header = bytearray(HEADER_SIZE)
        # Compressed data is copied on by the decoder: one buffer serves every message, so
        # large frames cost no fresh pages each.
        self._scratch = bytearray()
        self._sock = socket.create_connection(split_host_port(address), timeout=timeout)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def __enter__(self) -> "FrameClient":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._sock.close()

    def frames(self, count: Optional[int] = None) -> Iterator[Frame]:
        """Yields the next ``count`` frames (all until the server closes when None)."""
        n = 0
        while count is None or n < count:
            message = self._read_message(time.monotonic() + self.timeout, at_boundary_ok=True)
            if message is None:
                if count is None:
                    return
                raise ConnectionError(f"{self.address} closed the channel after {n} frames")
            yield _decode(*message, self._decoders)
            n += 1

    def latest(self) -> Frame:
        """Skips the messages that already wait and returns the newest (waits for one if none)."""
        message = self._read_message(time.monotonic() + self.timeout, at_boundary_ok=False)
        while select.select([self._sock], [], [], 0)[0]:
            newer = self._read_message(time.monotonic() + self.timeout, at_boundary_ok=True)
            if newer is None:
                break
            message = newer
        assert message is not None
        return _decode(*message, self._decoders)

    def _read_message(
        self, deadline: float, at_boundary_ok: bool
    ) -> Optional[Tuple[Dict[str, Any], memoryview]]:
        start = self._received
        if not self._fill(memoryview(self._header), deadline, start, allow_eof=at_boundary_ok):
            return None
        try:
            header = _parse_header(bytes(self._header))
        except FrameError as e:
            raise FrameError(f"{e} (message at byte {start} of the stream)") from None
        total = header["total_length"]
        if total > self.max_message:
            raise FrameError(f"message of {total} bytes at byte {start} is above the bound")
        size = total - HEADER_SIZE
        if header["kind"] == "HFYU" and header["compressed"]:
            if len(self._scratch) < size:
                self._scratch = bytearray(size)  # a new one: the old may still be viewed
            body = memoryview(self._scratch)[:size]
        else:
            body = memoryview(bytearray(size))  # the frame's image keeps it
        self._fill(body, deadline, start, allow_eof=False, total=total)
        return header, body

    def _fill(
        self, view: memoryview, deadline: float, start: int, allow_eof: bool, total: int = 0
    ) -> bool:
        got = 0
        while got < len(view):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(
                    f"{self.address}: no whole message within {self.timeout} s"
                    f" ({self._received - start} bytes of it after byte {start})"
                )
            self._sock.settimeout(remaining)
            try:
                n = self._sock.recv_into(view[got:])
            except socket.timeout:
                continue
            if n == 0:
                if allow_eof and got == 0 and self._received == start:
                    return False
                expected = f"{total}" if total else f"at least {HEADER_SIZE}"
                raise FrameError(
                    f"{self.address} ended mid-message: {self._received - start} of"
                    f" {expected} bytes of the message at byte {start}"
                )
            got += n
            self._received += n
        return True
