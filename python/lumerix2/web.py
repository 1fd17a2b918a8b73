"""The server's web API: status, the beam, its stability, the region and the dark frame."""

from __future__ import annotations

import json
import math
import urllib.error
import urllib.request
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .frames import split_host_port

__all__ = ["Beam", "Peak", "Stability", "Web", "WebError"]

# A beam with its profiles is a few tens of kB; nothing the server sends comes near this.
MAX_REPLY = 16 * 1024 * 1024


class WebError(Exception):
    """A request the server refused: ``status`` (HTTP) and ``text`` (its one-line reason)."""

    def __init__(self, status: int, text: str, what: str = "") -> None:
        super().__init__(f"{what}: {status} {text}" if what else f"{status} {text}")
        self.status = status
        self.text = text


def _num(v: Any) -> float:
    return math.nan if v is None else float(v)  # the server writes null for non-finite


def _pair(d: Dict[str, Any], a: str, b: str) -> Tuple[float, float]:
    return _num(d.get(a)), _num(d.get(b))


@dataclass(frozen=True)
class Beam:
    """One beam measurement; pixels of the oriented frame, angles in degrees from +x towards
    +y. Over ZEFT (``X_BEAM``) only the fields up to ``total`` are known."""

    frame: int
    valid: bool
    centroid: Tuple[float, float]
    sigma: Tuple[float, float, float]  # σx, σy (px), σxy (px², signed)
    width: Tuple[float, float]  # D4σ major, minor
    angle: float
    peak: float
    total: float
    reason: Optional[str] = None
    background: Optional[str] = None  # "dark", "estimated" or "none"
    roi: Optional[Tuple[int, int, int, int]] = None  # x, y, width, height as measured
    profile_origin: Optional[Tuple[int, int]] = None  # frame column, row of element 0
    profile_x: Optional[np.ndarray] = field(default=None, repr=False)
    profile_y: Optional[np.ndarray] = field(default=None, repr=False)
    fit_x: Optional[Dict[str, float]] = None  # amplitude, centre, sigma, offset, r2
    fit_y: Optional[Dict[str, float]] = None

    @classmethod
    def from_json(cls, d: Dict[str, Any]) -> "Beam":
        s, r, p = d["sigma"], d.get("roi"), d.get("profiles")
        return cls(
            frame=int(d["frame"]),
            valid=bool(d["valid"]),
            centroid=_pair(d["centroid"], "x", "y"),
            sigma=(*_pair(s, "x", "y"), _num(s.get("xy"))),
            width=_pair(d["width"], "major", "minor"),
            angle=_num(d.get("angle")),
            peak=_num(d.get("peak", {}).get("value")),
            total=_num(d.get("total")),
            reason=d.get("reason"),
            background=d.get("background"),
            roi=None if r is None else (r["x"], r["y"], r["width"], r["height"]),
            profile_origin=None if p is None else (int(p["x0"]), int(p["y0"])),
            profile_x=None if p is None else np.array([_num(v) for v in p["x"]], np.float64),
            profile_y=None if p is None else np.array([_num(v) for v in p["y"]], np.float64),
            fit_x=None if p is None else p.get("fit_x"),
            fit_y=None if p is None else p.get("fit_y"),
        )

    @classmethod
    def from_values(cls, v: Sequence[float]) -> "Beam":
        """From the 12 doubles of ``X_BEAM``."""
        if len(v) != 12:
            raise ValueError(f"X_BEAM has 12 values, not {len(v)}")
        return cls(int(v[0]), bool(v[1]), (v[2], v[3]), (v[4], v[5], v[6]), (v[7], v[8]),
                   v[9], v[10], v[11])


@dataclass(frozen=True)
class Peak:
    axis: str  # "x" or "y", the frame's axes
    f_hz: float
    amplitude: float  # px, single-sided: a sine of amplitude A shows as A


@dataclass(frozen=True)
class Stability:
    """Beam stability over the server's window of valid frames (ISO 11670: Δ = 4 s along the
    principal axes of the centroid scatter). Over ZEFT (``X_STABILITY``) the spreads and the
    spectrum are not sent: they stay NaN and empty, and ``peaks`` holds the strongest line of
    each axis."""

    frames: int
    mean: Tuple[float, float]
    delta: Tuple[float, float]
    azimuth: float  # degrees, of the x principal axis
    peaks: List[Peak]
    seconds: float = math.nan
    rate_hz: float = math.nan
    std: Tuple[float, float] = (math.nan, math.nan)
    width_std: Tuple[float, float] = (math.nan, math.nan)  # D4σ major, minor
    intensity_rsd: float = math.nan
    f_hz: np.ndarray = field(default_factory=lambda: np.zeros(0), repr=False)
    spectrum_x: np.ndarray = field(default_factory=lambda: np.zeros(0), repr=False)
    spectrum_y: np.ndarray = field(default_factory=lambda: np.zeros(0), repr=False)

    @classmethod
    def from_json(cls, d: Dict[str, Any]) -> "Stability":
        spectrum = d.get("spectrum") or {}

        def array(name: str) -> np.ndarray:
            return np.array([_num(v) for v in spectrum.get(name) or []], np.float64)

        delta = d.get("delta") or {}  # an empty window may come without its figures
        return cls(
            frames=int(d["frames"]),
            mean=_pair(d.get("mean") or {}, "x", "y"),
            delta=_pair(delta, "x", "y"),
            azimuth=_num(delta.get("azimuth")),
            peaks=[
                Peak(str(p["axis"]), _num(p["f_hz"]), _num(p["amplitude"]))
                for p in d.get("peaks") or []
            ],
            seconds=_num(d.get("seconds")),
            rate_hz=_num(d.get("rate_hz")),
            std=_pair(d.get("std") or {}, "x", "y"),
            width_std=_pair(d.get("width_std") or {}, "major", "minor"),
            intensity_rsd=_num(d.get("intensity_rsd")),
            f_hz=array("f_hz"),
            spectrum_x=array("x"),
            spectrum_y=array("y"),
        )

    @classmethod
    def from_values(cls, v: Sequence[float]) -> "Stability":
        """From the 10 doubles of ``X_STABILITY``; a line of amplitude 0 is no line."""
        if len(v) != 10:
            raise ValueError(f"X_STABILITY has 10 values, not {len(v)}")
        lines = [Peak(axis, v[i], v[i + 1]) for axis, i in (("x", 6), ("y", 8)) if v[i + 1] > 0]
        return cls(int(v[0]), (v[1], v[2]), (v[3], v[4]), v[5], lines)


class Web:
    """The web API of one server: ``Web("127.0.0.1:8080")``. A refused request raises
    :class:`WebError`; no answer within ``timeout`` seconds, an ``OSError``."""

    def __init__(self, address: str, timeout: float = 5.0) -> None:
        host, port = split_host_port(address)
        self.url = f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"
        self.timeout = timeout

    def _request(self, path: str, method: str = "GET", body: Optional[bytes] = None) -> bytes:
        request = urllib.request.Request(self.url + path, data=body, method=method)
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as reply:
                data = reply.read(MAX_REPLY + 1)
        except urllib.error.HTTPError as e:
            text = e.read(1024).decode("utf-8", "replace").strip()
            raise WebError(e.code, text, f"{method} {path}") from None
        if len(data) > MAX_REPLY:
            raise WebError(-1, f"reply above {MAX_REPLY} bytes", f"{method} {path}")
        return data

    def _json(self, path: str) -> Dict[str, Any]:
        reply = json.loads(self._request(path))
        if not isinstance(reply, dict):
            raise WebError(-1, "reply is no JSON object", path)
        return reply

    def status(self) -> Dict[str, Any]:
        """``/api/status`` as it is."""
        return self._json("/api/status")

    def beam(self) -> Beam:
        """The newest beam with its profiles; WebError 503 before the first frame."""
        return Beam.from_json(self._json("/api/beam"))

    def stability(self) -> Stability:
        return Stability.from_json(self._json("/api/stability"))

    def reset_stability(self) -> None:
        self._request("/api/stability", "DELETE")

    def set_roi(self, x: int, y: int, width: int, height: int) -> None:
        """The region measured; width and height 0: the whole frame."""
        roi = {"x": int(x), "y": int(y), "width": int(width), "height": int(height)}
        body = json.dumps(roi, separators=(",", ":"))
        self._request("/api/roi", "PUT", body.encode())

    def capture_dark(self, frames: Optional[int] = None) -> None:
        """The mean of the next ``frames`` frames (server's default: 16) becomes the dark frame."""
        path = "/api/dark" if frames is None else f"/api/dark?frames={int(frames)}"
        self._request(path, "POST", b"")

    def clear_dark(self) -> None:
        self._request("/api/dark", "DELETE")

    def start(self) -> None:
        self._request("/api/start", "POST", b"")

    def stop(self) -> None:
        self._request("/api/stop", "POST", b"")
