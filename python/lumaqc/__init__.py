"""lumaqc: no-reference video quality indicators, from Python.

Fifteen indicators per frame, computed from the luma plane by the same
library as the ``lumaqc`` program, bit for bit::

    import lumaqc
    result = lumaqc.analyze_file("clip.mp4")
    result.values["blur"]          # numpy array, one value per frame (NaN: no value)
    result.frames                  # pandas.DataFrame, one row per frame
    result.summary["stats"]["blur"]["p95"]

    analyzer = lumaqc.Analyzer(1920, 1080, fps=25.0)
    values = analyzer.analyze(luma)   # 2-D uint8 numpy array -> dict of 15 floats

``indicators`` lists the (key, name) pairs in column order; ``Error`` is
raised for inputs that cannot be read, with the program's one-line message.
``lumaqc.batch`` (the ``lumaqc-batch`` command) analyses whole archives on
Dask distributed.
"""

from __future__ import annotations

import os as _os
import re as _re
from typing import Any, Dict, List, Optional, Tuple, Union

import json as _json

import numpy as np

from . import _lumaqc
from ._lumaqc import Analyzer

__all__ = ["Analyzer", "Error", "NotVideoError", "Result", "TimeLimitError", "analyze_file", "indicators", "keys", "probe", "shown_name", "__version__"]

__version__: str = _lumaqc.__version__

#: (key, name) of the fifteen indicators, in the log's column order.
indicators: List[Tuple[str, str]] = [tuple(item) for item in _lumaqc.indicators]
#: The JSON keys alone, in the same order.
keys: List[str] = [key for key, _ in indicators]

#: The keyword arguments of :func:`analyze_file` beyond its named ones: the
#: program's options, named without their dashes ("pix_fmt" for --pix-fmt).
options: List[str] = list(_lumaqc.options)

#: True when the library decodes video files (libavformat/libavcodec built in
#: and found). Looked up on first use: importing the package does not load
#: FFmpeg's libraries.
decoder: bool


def __getattr__(name: str) -> Any:
    if name == "decoder":
        return bool(_lumaqc.decoder)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class Error(RuntimeError):
    """An input that cannot be read or a run that stopped on an error.

    ``str(error)`` is the program's one-line message. ``result`` holds what
    was computed before a run stopped (a :class:`Result` with
    ``complete == False``), or None when nothing was.
    """

    def __init__(self, message: str, result: Optional["Result"] = None) -> None:
        super().__init__(message)
        self.result = result


#: What the functions take as a path: text, bytes (a name as the system has
#: it, which need not be UTF-8) or any os.PathLike.
PathType = Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]

_URL = _re.compile(rb"^[A-Za-z][A-Za-z0-9+.-]*://")


def _path_bytes(path: Any, what: str = "path") -> bytes:
    """The path as the system's bytes (os.fsencode), refused with ValueError
    when it holds a NUL (no file name can)."""
    if not isinstance(path, (str, bytes, _os.PathLike)):
        raise TypeError(f"{what} must be str, bytes or os.PathLike, not {type(path).__name__}")
    raw = _os.fsencode(path)
    if b"\0" in raw:
        raise ValueError(f"{what} {shown_name(raw)} holds a NUL character, which no file name "
                         "can hold")
    return raw


def shown_name(path: Any) -> str:
    """A path as lumaqc shows it on the console: bytes that are not UTF-8 and
    control characters written as \\xNN, so a name cannot hide in escape
    sequences or turn into U+FFFD."""
    return _lumaqc.printable_name(_os.fsencode(path))


class NotVideoError(Error):
    """The file holds no video the library can decode (raw video needs its
    width and height)."""


class TimeLimitError(Error):
    """The run was stopped by ``time_limit``: ``result`` holds the frames
    analysed before (``complete == False``), or None when the time ran out
    before the input was open."""


def probe(path: PathType) -> Optional[str]:
    """'y4m', the container name libavformat recognises in the file's first
    bytes, or None (not video as far as the first bytes tell: pictures,
    text, raw samples, unreadable). ``path`` is str, bytes or os.PathLike."""
    return _lumaqc.probe(_path_bytes(path))


class Result:
    """What :func:`analyze_file` computed.

    Attributes:
        input: dict with path, kind ('raw', 'y4m', 'decoder'), codec, width,
            height, fps, start_frame, frames_requested (None: to the end) and
            duration_seconds (the container's declared duration, else a
            file's whole frames at fps; None when unknown).
        frame: int64 numpy array of the frame indices.
        time: float64 numpy array of their presentation times in seconds (the
            stream's timestamps for decoded video, index / fps otherwise).
        values: dict key -> float64 numpy array, one value per frame, NaN
            where the JSON document has null.
        summary: the JSON document's summary: stats per key (count, mean,
            min, max, p5, p50, p95; None when count is 0), frozen_intervals,
            blackout_intervals, flicker_ratings.
        complete: False when the run stopped early (an error, Ctrl-C).
        profile, verdict, events, decode_errors: under a QC profile, the JSON
            document's members of those names (the profile and its rules; the
            result "pass"/"fail" with the error and warning counts; each
            event with its type, severity, frames, times and message; the
            decoding errors); None without a profile.
    """

    def __init__(self, raw: Dict[str, Any]) -> None:
        self.input: Dict[str, Any] = raw["input"]
        # The path as given (bytes from the library): os.fsdecode gives the
        # text Python's os functions take back.
        self.input["path"] = _os.fsdecode(self.input["path"])
        self.frame: np.ndarray = raw["frame"]
        self.time: np.ndarray = raw["time"]
        table: np.ndarray = raw["values"]
        self.values: Dict[str, np.ndarray] = {key: table[:, i] for i, key in enumerate(keys)}
        self.summary: Dict[str, Any] = raw["summary"]
        self.complete: bool = bool(raw["complete"])
        # Why a document (json=, report=, ...) is not whole, or "" when all are.
        self._unwritten: str = _os.fsdecode(raw.get("unwritten") or b"")
        decision: Dict[str, Any] = _json.loads(raw["decision"]) if raw.get("decision") else {}
        self.profile: Optional[Dict[str, Any]] = decision.get("profile")
        self.verdict: Optional[Dict[str, Any]] = decision.get("verdict")
        self.events: Optional[List[Dict[str, Any]]] = decision.get("events")
        self.decode_errors: Optional[Dict[str, Any]] = decision.get("decode_errors")

    def __len__(self) -> int:
        return len(self.frame)

    def __repr__(self) -> str:
        info = self.input
        return (
            f"<lumaqc.Result {info['path']!r}: {len(self)} frames of {info['width']}x{info['height']}"
            f" at {info['fps']:g} fps{'' if self.complete else ', incomplete'}>"
        )

    def to_pandas(self) -> Any:
        """The per-frame values as a pandas.DataFrame indexed by frame (needs pandas)."""
        import pandas as pd

        frame = pd.DataFrame(self.values, index=pd.Index(self.frame, name="frame"))
        return frame

    @property
    def frames(self) -> Any:
        """Same as :meth:`to_pandas`."""
        return self.to_pandas()


def analyze_file(
    path: PathType,
    width: Optional[int] = None,
    height: Optional[int] = None,
    fps: Optional[float] = None,
    frames: Optional[int] = None,
    start: Optional[int] = None,
    profile: Optional[str] = None,
    threads: Optional[int] = None,
    *,
    json: Optional[PathType] = None,
    report: Optional[PathType] = None,
    time_limit: Optional[float] = None,
    **options: Any,
) -> Result:
    """Analyses a video file as the ``lumaqc`` program does.

    Reads anything the program reads except standard input: raw 4:2:0 video
    (give width and height), Y4M (size and rate from its header), and video
    files that libavformat/libavcodec decode. fps, frames and start are the
    program's --fps, --frames and --start; threads defaults to every hardware
    thread (the values are the same for any count). ``json`` and ``report``
    write the program's JSON document and HTML report too, byte for byte as
    ``lumaqc --json``/``--report`` would. ``profile`` (a built-in profile name
    or a TOML profile file, as ``lumaqc --profile``) adds the events and the
    verdict; damaged video then goes on past the damage: the damage, lost
    frames and a file cut short are events of the verdict (decode_error,
    frames_lost, truncated), and the result is returned with it, as the
    program judges such a file (``complete`` is False when the input ended
    early).

    Every other option of the program is a keyword argument of the same name
    (``options`` lists them): ``pix_fmt="yuv422p10le"``, ``csv=...``,
    ``log=...`` (no log is written unless it is given), ``events=...``,
    ``fail_on="warning"``, ``log_rotate="100M"``..., checked and refused as
    the program refuses them. Live monitoring (``live``, ``metrics``,
    ``exec_on_event``) needs the program.

    Paths (``path``, ``json``, ``report``, ...) are str, bytes or os.PathLike,
    taken as the system's bytes (os.fsencode), so names that are not UTF-8
    work; ``result.input["path"]`` is the text os.fsdecode gives. Outputs on
    the input file, or two on one file, are refused with Error as the
    program refuses them, before anything is written; so is an output that
    cannot be created, the log included (the program goes on without it).

    ``time_limit`` (seconds, more than 0) stops a run still going after that
    long, between two frames, with TimeLimitError (``lumaqc: analysis
    stopped after 600 s (time_limit)``) and the frames done in its
    ``result``; the documents are then written as for Ctrl-C, marked
    incomplete. A read blocked inside the decoder (a stalled network mount)
    is not interrupted: the run stops once it returns.

    Raises Error with the program's message when the input cannot be read or
    the run stops on an error (the frames done are in ``error.result``),
    ValueError for arguments that make no sense (a path with a NUL
    character; a URL: network streams are monitored by the ``lumaqc``
    program), KeyboardInterrupt on Ctrl-C.
    """
    raw_path = _path_bytes(path)
    if _URL.match(raw_path) and not _os.path.exists(raw_path):
        raise ValueError(f"{shown_name(raw_path)} is a URL: analyze_file reads files; network "
                         "streams are monitored by the lumaqc program (lumaqc URL --live)")
    try:
        raw = _lumaqc.analyze_file(
            raw_path, width=width, height=height, fps=fps, frames=frames, start=start,
            threads=threads, json=json, report=report, profile=profile, time_limit=time_limit,
            **options,
        )
    except _lumaqc.NotVideoError as error:
        raise NotVideoError(str(error)) from None
    except _lumaqc.TimeLimitError as error:
        raise TimeLimitError(str(error)) from None
    except _lumaqc.Error as error:
        raise Error(str(error)) from None
    result = Result(raw)
    if raw["error"] is not None:
        raise (TimeLimitError if raw["timed_out"] else Error)(raw["error"], result)
    return result
