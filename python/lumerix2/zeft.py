"""A ZEFT client: reads, writes and monitors the properties of a camera server."""

from __future__ import annotations

import configparser
import socket
import struct
import time
from typing import Any, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from .frames import Frame, decode_message, split_host_port
from .web import Beam, Stability

__all__ = ["Reply", "Zeft", "ZeftError", "parse_address"]

MAGIC = 0x5446455A
VERSION = 1
CALL, MONITOR, CANCEL, REPLY = 1, 2, 3, 4
FINAL = 1
READ, WRITE = 1, 2
F_DOUBLE, F_BYTE, F_INT, F_CHAR, F_TEXT, F_SPOT = 512, 514, 515, 516, 531, 539
_ELEMENT = {F_DOUBLE: 8, F_BYTE: 1, F_INT: 4, F_CHAR: 1, F_SPOT: 16}
_HEADER = struct.Struct("<IBBHII")
_REQUEST = struct.Struct("<HHIIHHII")
_REPLY = struct.Struct("<hHIIB")
_SPOT = struct.Struct("<ifff")
# The largest reply a property may declare (64 MiB of data), its message and the fields.
MAX_REPLY_BODY = _REPLY.size + 255 + 64 * 1024 * 1024
NO_DATA = 607  # FRAME.GET: no new frame since the last delivery

Value = Union[None, int, float, str, bytes, Tuple[float, float, float, float], np.ndarray]


class ZeftError(Exception):
    """A call the server (or this client, for negative codes) refused: ``code`` and ``text``."""

    def __init__(self, code: int, text: str, what: str = "") -> None:
        super().__init__(f"{what}: {code} {text}" if what else f"{code} {text}")
        self.code = code
        self.text = text


class Reply(NamedTuple):
    status: int
    message: str
    format: int
    value: Value


def _name(text: str, empty_ok: bool) -> bytes:
    raw = text.encode("ascii", "replace")
    if len(raw) > 63 or (not raw and not empty_ok) or any(b <= 32 or b > 126 for b in raw):
        raise ZeftError(-1, "Unknown name.", f"bad name {text!r}")
    return bytes([len(raw)]) + raw


def _lookup(names: str, context: str, server: str) -> str:
    parser = configparser.ConfigParser(inline_comment_prefixes=(";", "#"), interpolation=None)
    if not parser.read(names):
        raise ZeftError(-1, "Unknown name.", f"no names file {names}")
    for section in parser.sections():
        if section.lower() == context.lower() and parser.has_option(section, server):
            return parser.get(section, server)
    raise ZeftError(-1, "Unknown name.", f"{server} is not in context {context} of {names}")


def parse_address(address: str, names: Optional[str] = None) -> Tuple[str, str, str, int, str]:
    """``/CONTEXT/SERVER/DEVICE`` as (context, equipment, host, port, device).

    SERVER is ``HOST:PORT`` (the equipment then stays empty) or a name of the names file.
    """
    parts = address.split("/")
    if len(parts) != 4 or parts[0] or not all(parts[1:]):
        raise ZeftError(-1, "Unknown name.", f"not /CONTEXT/SERVER/DEVICE: {address!r}")
    context, server, device = parts[1:]
    equipment = ""
    try:
        host, port = split_host_port(server)
    except ValueError:
        if names is None:
            what = f"{server} is no HOST:PORT and there is no names file"
            raise ZeftError(-1, "Unknown name.", what) from None
        host, port = split_host_port(_lookup(names, context, server))
        equipment = server
    return context, equipment, host, port, device


def _encode(value: Any) -> Tuple[int, int, bytes]:
    """(format, count, data) of a written value."""
    if isinstance(value, (bytes, bytearray)):
        return F_BYTE, len(value), bytes(value)
    if isinstance(value, str):
        data = value.encode("latin-1")
        return F_CHAR, len(data), data
    if isinstance(value, np.ndarray):
        value = value.tolist()  # numpy's scalars as Python's, so that ints stay ints
    items = list(value) if isinstance(value, (list, tuple)) else [value]
    if items and all(isinstance(v, int) and -(2**31) <= v < 2**31 for v in items):
        return F_INT, len(items), struct.pack(f"<{len(items)}i", *items)
    try:
        return F_DOUBLE, len(items), struct.pack(f"<{len(items)}d", *map(float, items))
    except (TypeError, ValueError):
        raise ZeftError(-8, "Invalid argument.", f"cannot send {value!r}") from None


def _decode(fmt: int, count: int, data: bytes) -> Value:
    if fmt == 0:
        return None
    if fmt == F_TEXT:
        if count != 1 or len(data) > 1024:
            raise ZeftError(-5, "Protocol error.", f"text of {count} elements, {len(data)} bytes")
        return data.decode("latin-1")
    size = _ELEMENT.get(fmt)
    if size is None or count * size != len(data):
        what = f"format {fmt}, {count} elements in {len(data)} bytes"
        raise ZeftError(-5, "Protocol error.", what)
    if fmt == F_CHAR:
        return data.decode("latin-1")
    if fmt == F_BYTE:
        return data
    if fmt == F_SPOT:
        # x travels as an integer of thousandths
        spots = [(x / 1000.0, y, sx, sy) for x, y, sx, sy in _SPOT.iter_unpack(data)]
        return spots[0] if count == 1 else np.array(spots, np.float64).reshape(count, 4)
    values = np.frombuffer(data, "<f8" if fmt == F_DOUBLE else "<i4").astype(
        np.float64 if fmt == F_DOUBLE else np.int32
    )
    return values[0].item() if count == 1 else values


class _Connection:
    """One TCP connection to a ZEFT server: requests out, replies in, every length bounded."""

    def __init__(self, host: str, port: int, timeout: float, max_body: int) -> None:
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.max_body = max_body
        self.received = 0

    def close(self) -> None:
        self.sock.close()

    def send(self, kind: int, ident: int, body: bytes = b"") -> None:
        self.sock.sendall(_HEADER.pack(MAGIC, VERSION, kind, 0, ident, len(body)) + body)

    def _read(self, n: int, deadline: float) -> bytes:
        data = bytearray(n)
        view, got = memoryview(data), 0
        while got < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no reply within the time-out ({got} of {n} bytes came)")
            self.sock.settimeout(remaining)
            try:
                k = self.sock.recv_into(view[got:])
            except socket.timeout:
                continue
            if k == 0:
                raise ConnectionResetError(f"the server closed the connection ({got} of {n} bytes)")
            got += k
            self.received += k
        return bytes(data)

    def reply(self, deadline: float) -> Tuple[int, int, Reply]:
        """(id, flags, reply) of the next reply message."""
        head = _HEADER.unpack(self._read(_HEADER.size, deadline))
        magic, version, kind, flags, ident, length = head
        if magic != MAGIC or version != VERSION or kind != REPLY:
            what = f"magic 0x{magic:08x}, version {version}, type {kind}"
            raise ZeftError(-5, "Protocol error.", what)
        if not _REPLY.size <= length <= self.max_body:
            raise ZeftError(-5, "Protocol error.", f"reply body of {length} bytes")
        body = self._read(length, deadline)
        status, fmt, count, size, text_length = _REPLY.unpack_from(body)
        if _REPLY.size + text_length + size != length:
            raise ZeftError(-5, "Protocol error.", f"reply fields do not add up to {length} bytes")
        message = body[_REPLY.size : _REPLY.size + text_length].decode("latin-1")
        data = body[_REPLY.size + text_length :]
        value = _decode(fmt, count, data) if status == 0 else None
        return ident, flags, Reply(status, message, fmt, value)


class Zeft:
    """The properties of one device: ``Zeft("/TAVO/127.0.0.1:32111/LUMERIX")``.

    Calls share one kept connection; each monitor opens its own. A refused call raises
    :class:`ZeftError`; a call without a reply within ``timeout`` seconds, :class:`TimeoutError`.
    ``names`` is the names file used when SERVER is a name rather than ``HOST:PORT``.
    Not for use by several threads at once.
    """

    def __init__(
        self,
        address: str,
        timeout: float = 3.0,
        names: Optional[str] = None,
        max_reply: int = MAX_REPLY_BODY,
    ) -> None:
        self.address = address
        self.timeout = timeout
        where = parse_address(address, names)
        self.context, self.equipment, self.host, self.port, self.device = where
        self._max_body = max_reply
        self._conn: Optional[_Connection] = None
        self._next_id = 1

    def __enter__(self) -> "Zeft":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def _body(self, prop: str, access: int, value: Any, interval_ms: int) -> bytes:
        fmt, count, data = (0, 0, b"") if value is None else _encode(value)
        names = b"".join(
            (
                _name(self.context, True),
                _name(self.equipment, True),
                _name(self.device, False),
                _name(prop, False),
            )
        )
        return _REQUEST.pack(access, fmt, count, len(data), 0, 0, 0, interval_ms) + names + data

    def call(self, prop: str, value: Any = None, access: int = READ) -> Reply:
        """One call; returns the reply whatever its status."""
        body = self._body(prop, access, value, 0)
        while True:
            fresh = self._conn is None
            if self._conn is None:
                self._conn = _Connection(self.host, self.port, self.timeout, self._max_body)
            conn, conn.received = self._conn, 0
            ident, self._next_id = self._next_id, self._next_id % 0xFFFFFFFF + 1
            deadline = time.monotonic() + self.timeout
            try:
                conn.send(CALL, ident, body)
                while True:
                    got, _, reply = conn.reply(deadline)
                    if got == ident:
                        return reply
            except ConnectionError as e:
                self.close()
                # The server closes only connections with nothing in them: a kept one found
                # closed before any reply never ran the call, which goes again on a fresh one.
                if fresh or conn.received:
                    raise ConnectionError(f"{self.address} {prop}: {e}") from None
            except BaseException:
                self.close()  # the connection is out of step now
                raise

    def _checked(self, prop: str, reply: Reply) -> Reply:
        if reply.status != 0:
            raise ZeftError(reply.status, reply.message, f"{self.address} {prop}")
        return reply

    def read(self, prop: str, value: Any = None) -> Value:
        """The property's value, converted by its reply format: 515 int, 512 float, 516 and 531
        str, 514 bytes, 539 the spot record (x, y, sx, sy); arrays of 512 and 515 as numpy
        arrays (float64, int32), of 539 as a float64 array of shape (n, 4)."""
        return self._checked(prop, self.call(prop, value, READ)).value

    def write(self, prop: str, value: Any) -> None:
        """Writes ``value``: an int as 515, a float as 512, a str as 516 text, bytes as 514."""
        self._checked(prop, self.call(prop, value, WRITE))

    def beam(self) -> Beam:
        """The newest beam measurement (X_BEAM), without profiles."""
        return Beam.from_values(self._array("X_BEAM"))

    def stability(self) -> Stability:
        """The stability figures (X_STABILITY): no spreads, no spectrum."""
        return Stability.from_values(self._array("X_STABILITY"))

    def _array(self, prop: str) -> List[float]:
        value = self.read(prop)
        if not isinstance(value, np.ndarray):
            raise ZeftError(-7, "Reply cannot be converted to the buffer's format.", prop)
        return [float(v) for v in value]

    def start(self) -> None:
        """Starts grabbing (S_START)."""
        self.write("S_START", 1)

    def stop(self) -> None:
        """Stops grabbing (S_STOP)."""
        self.write("S_STOP", 1)

    def update(self) -> None:
        """Applies the pending camera settings (S_UPDATE)."""
        self.write("S_UPDATE", 1)

    def _replies(self, prop: str, interval_ms: int, value: Any) -> Iterator[Reply]:
        body = self._body(prop, READ, value, interval_ms)
        conn = _Connection(self.host, self.port, self.timeout, self._max_body)
        try:
            conn.send(MONITOR, 1, body)
            wait = self.timeout + interval_ms / 1000.0
            while True:
                ident, flags, reply = conn.reply(time.monotonic() + wait)
                if ident != 1:
                    continue
                yield reply
                if flags & FINAL:
                    return
        finally:
            try:
                conn.send(CANCEL, 1)
            except OSError:
                pass
            conn.close()

    def monitor(
        self, prop: str, interval_ms: int = 1000, count: Optional[int] = None, value: Any = None
    ) -> Iterator[Value]:
        """Yields the property's value once at once, then every ``interval_ms`` (0: only when
        the server schedules it), ``count`` times or until the consumer stops."""
        n = 0
        replies = self._replies(prop, interval_ms, value)
        try:
            for reply in replies if count is None or count > 0 else ():
                yield self._checked(prop, reply).value
                n += 1
                if count is not None and n >= count:
                    return
            raise ConnectionError(f"{self.address} {prop}: the monitor ended after {n} values")
        finally:
            replies.close()

    def frame(self, prop: str = "FRAME.GET") -> Frame:
        """The next new frame of a frame-transfer device (e.g. ``/TAVO/HOST:PORT/device_0``)."""
        replies = self._replies(prop, 0, None)
        try:
            for reply in replies:
                if reply.status == NO_DATA:
                    continue  # the first run finds nothing new; the next frame schedules one
                data = self._checked(prop, reply).value
                if not isinstance(data, bytes):
                    raise ZeftError(-7, "Reply cannot be converted to the buffer's format.", prop)
                return decode_message(data)
            raise ConnectionError(f"{self.address} {prop}: the monitor ended without a frame")
        finally:
            replies.close()

