"""lumaqc-batch: whole archives analysed in parallel, here or on Dask distributed.

    lumaqc-batch INPUT... -o OUTDIR [options]

INPUT is a video file, a directory (searched recursively for video files by
their content), or @LIST (a text file naming one file or directory per line).
Each file is one task: by default on worker processes of this machine, one
per core, or on an existing Dask cluster with --scheduler tcp://HOST:PORT
(its workers need this package and must see the files and OUTDIR under the
same paths).

Each file gets OUTDIR/<relative path>.json, the document `lumaqc --json`
writes (the library's own JSON output, byte for byte), and with --report the
HTML page. OUTDIR/catalog.csv has one row per input: the files analysed, and
those that were not (status "skipped": a raw .yuv without --size;
"unsupported": a file named, or with a video extension, that holds no video),
with the reason. Results are written
under a temporary name and renamed, so a result that exists is whole. A rerun
reuses the results of the files whose result exists for the same size,
modification time, content hash, options and lumaqc version.

With --file-timeout SECONDS, a file whose analysis runs longer is stopped
and gets an error row saying so; the batch goes on with the others.

Exit status: 0 when every file was analysed without error, 1 when some file
has an error row (or fails its profile), 2 when the batch cannot start, 130
or 143 after SIGINT or SIGTERM (the tasks in flight are finished first and
the catalogue keeps what finished).
"""

from __future__ import annotations

import argparse
import csv
import fcntl
import fnmatch
import hashlib
import importlib.util
import io
import os
import signal
import stat
import sys
import time
import uuid
from typing import Any, Dict, Iterable, List, Optional, Tuple

import lumaqc

STATS = ("mean", "p5", "p95")
FIELDS = [
    "path", "result", "size", "mtime", "hash", "tool_version", "options", "duration", "frames",
    "width", "height", "fps", "codec", "status", "error", "verdict", "error_events",
    "warning_events",
] + [f"{key}_{stat}" for key in lumaqc.keys for stat in STATS] + [
    "reason", "first_error_type", "first_error_timecode", "declared_duration",
    "analysed_duration",
]
# Names a directory search gives a row even when they hold no video: a QC
# desk wants to hear of an empty or broken .mov, not of a stray notes.txt.
VIDEO_EXTENSIONS = frozenset((
    ".264", ".265", ".3gp", ".avi", ".dv", ".flv", ".h264", ".h265", ".hevc", ".m2t", ".m2ts",
    ".m2v", ".m4v", ".mkv", ".mov", ".mp4", ".mpeg", ".mpg", ".mts", ".mxf", ".ogv", ".ts",
    ".vob", ".webm", ".wmv", ".y4m", ".yuv"))

CATALOG = "catalog.csv"
HASH_BYTES = 1 << 20
# Error rows whose message starts with this come from the batch, not from the
# file (a worker that kept dying, a result that could not be written): a
# rerun tries those files again.
OWN_ERROR = "lumaqc-batch: "
# The name under which the options of a row stopped by --file-timeout record
# that limit (last), for reruns to tell whether the file has more time now.
STOPPED_AFTER = "file_timeout"


class BatchError(Exception):
    """A batch that cannot start: one line, status 2."""


# ------------------------------------------------------------ per file

def special_kind(mode: int) -> str:
    """What a file that is not a regular one is ("" for a regular file).
    Reading a named pipe or a device would wait for a writer or never end."""
    for test, kind in ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISDIR, "a directory")):
        if test(mode):
            return kind
    return "" if stat.S_ISREG(mode) else "not a regular file"


def content_hash(path: str, size: int) -> str:
    """SHA-256 of the file's first MiB followed by its size in decimal."""
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        digest.update(file.read(HASH_BYTES))
    digest.update(b"\0%d" % size)
    return digest.hexdigest()


def iso_mtime(ns: int) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ns // 10**9)) + f".{ns % 10**9:09d}Z"


def nearest_rank_stats(values: Iterable[float]) -> Dict[str, Optional[float]]:
    """mean, p5 and p95 as the JSON summary computes them: the values that
    are numbers, summed in order; nearest-rank percentiles."""
    present = [float(v) for v in values if v == v]
    if not present:
        return {stat: None for stat in STATS}
    mean = sum(present) / len(present)
    present.sort()

    def rank(percent: int) -> float:
        return present[max(1, (percent * len(present) + 99) // 100) - 1]

    return {"mean": mean, "p5": rank(5), "p95": rank(95)}


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _drop(*temporaries: str) -> None:
    for temporary in temporaries:
        try:
            os.unlink(temporary)
        except OSError:
            pass


def _publish(temporary: str, final: str) -> None:
    """Renames a document written whole into place once it is on the disk."""
    if os.path.exists(temporary):
        _fsync(temporary)
        os.replace(temporary, final)


def seconds_text(seconds: float) -> str:
    """Seconds as the options and messages show them: 600, 0.5."""
    text = repr(float(seconds))
    return text[:-2] if text.endswith(".0") else text


def timed_out_row(row: Dict[str, Any], seconds: float) -> Dict[str, Any]:
    """The row of a file stopped by --file-timeout, from its first columns
    (path, version, options; size, time and hash when they were read): an
    error naming the file and the limit, which its options record too."""
    text = (f"analysis of {lumaqc.shown_name(row['path'])} stopped after "
            f"{seconds_text(seconds)} s (--file-timeout)")
    options = row.get("options") or ""
    limit = f"{STOPPED_AFTER}={seconds_text(seconds)}"
    return dict(row, status="error", error=text, reason=text,
                options=f"{options};{limit}" if options else limit)


def stopped_after(options: str) -> Tuple[str, Optional[float]]:
    """A row's options less the --file-timeout that stopped its file, and
    that limit in seconds (None when no limit stopped it)."""
    head, _, last = options.rpartition(";")
    name, _, value = last.partition("=")
    if name != STOPPED_AFTER:
        return options, None
    try:
        return head, float(value)
    except ValueError:
        return options, None


def analyze_task(job: Dict[str, Any], started: Any = None) -> Dict[str, Any]:
    """One file, run on a worker: writes its results and returns its catalogue
    row. `started(row, temporaries)`, when given, is told the row's first
    columns and the temporary names before the analysis begins. With
    job["time_limit"] the analysis is stopped between frames after so many
    seconds."""
    path, outdir, key = job["path"], job["outdir"], job["key"]
    row: Dict[str, Any] = {"path": path, "tool_version": lumaqc.__version__,
                           "options": job["options"], "status": "error"}
    try:
        st = os.stat(path)
        row.update(size=st.st_size, mtime=iso_mtime(st.st_mtime_ns))
        kind = special_kind(st.st_mode)
        if kind:
            row["status"] = "unsupported"
            row["error"] = row["reason"] = f"{lumaqc.shown_name(path)} is {kind}, not a file"
            return row
        row["hash"] = content_hash(path, st.st_size)
    except OSError as error:
        row["error"] = f"Error opening the file {lumaqc.shown_name(path)}: {error.strerror}"
        row["reason"] = row["error"]
        return row
    if st.st_size == 0:
        row["status"] = "unsupported"
        row["error"] = row["reason"] = f"{lumaqc.shown_name(path)} is empty"
        return row

    final = os.path.join(outdir, key + ".json")
    # Hidden temporary names beside the results, renamed once complete.
    stem = os.path.join(os.path.dirname(final), f".{os.path.basename(key)}.{uuid.uuid4().hex}")
    json_tmp, html_tmp = stem + ".json.part", stem + ".html.part"
    width, height = job.get("size") or (None, None)
    result: Optional[lumaqc.Result] = None
    if started is not None:
        started(row, (json_tmp, html_tmp))
    try:
        os.makedirs(os.path.dirname(final), exist_ok=True)
        try:
            result = lumaqc.analyze_file(
                path, width, height, json=json_tmp, report=html_tmp if job.get("report") else None,
                time_limit=job.get("time_limit"), **job.get("analysis", {}))
            row["status"] = "ok"
        except lumaqc.TimeLimitError:
            # No document for a file cut short by the limit: an earlier
            # run's result of it stays as it was.
            _drop(json_tmp, html_tmp)
            return timed_out_row(row, job["time_limit"])
        except lumaqc.NotVideoError as error:
            row["error"], row["not_video"] = str(error), True
            row["status"], row["reason"] = "unsupported", str(error)
        except lumaqc.Error as error:
            row["error"], result = str(error), error.result
            if result is None and job.get("unrecognised"):
                row["status"] = "unsupported"  # no container or signature known in its head
        # A run that stopped on an error keeps its document (marked
        # incomplete); a document that could not be written whole (a full
        # disk) is dropped, never renamed into place.
        unwritten = result._unwritten if result is not None else ""
        if unwritten:
            _drop(json_tmp, html_tmp)
            reason = unwritten.rsplit(": ", 1)[-1]
            row["status"], row["error"] = "error", (
                f"{OWN_ERROR}cannot write the result {lumaqc.shown_name(final)}: {reason}")
            return row
        if result is None:
            _drop(json_tmp, html_tmp)
        else:
            _publish(json_tmp, final)
            _publish(html_tmp, os.path.join(outdir, key + ".html"))
    except Exception as error:  # noqa: BLE001 - any other failure is this file's error row
        _drop(json_tmp, html_tmp)
        text = (f"cannot write the result {lumaqc.shown_name(final)}: {error.strerror}"
                if isinstance(error, OSError) and error.strerror else
                f"{type(error).__name__}: {error}")
        row["status"], row["error"] = "error", OWN_ERROR + text
        return row
    if result is None:
        row.setdefault("reason", row.get("error"))
        return row
    if row.get("error"):
        row["reason"] = row["error"]

    info = result.input
    fps = info["fps"]
    row.update(result=key + ".json", frames=len(result), width=info["width"],
               height=info["height"], fps=fps, codec=info["codec"],
               duration=len(result) / fps if fps and fps > 0 else None,
               declared_duration=info.get("duration_seconds"))
    row["analysed_duration"] = row["duration"]
    if result.verdict is not None:
        row.update(verdict=result.verdict.get("result"), error_events=result.verdict.get("errors"),
                   warning_events=result.verdict.get("warnings"))
        if row["verdict"] == "fail":
            row["failed"] = True
        errors = [e for e in result.events or () if e.get("severity") == "error"]
        if errors:
            first = min(errors, key=lambda e: (e.get("start_seconds") or 0.0, e.get("id") or 0))
            row.update(first_error_type=first.get("type"),
                       first_error_timecode=first.get("start_timecode"))
    step = max(1, int(job.get("subsample") or 1))
    for key_name in lumaqc.keys:
        stats = nearest_rank_stats(result.values[key_name][::step])
        for stat in STATS:
            row[f"{key_name}_{stat}"] = stats[stat]
    return row


def worker_version() -> str:
    return lumaqc.__version__


# ------------------------------------------------------------- inputs

class Item:
    """A file to analyse; `found` when a directory search found it, not the user."""

    def __init__(self, path: str, key: str, raw: bool = False, found: bool = False,
                 skip: str = "", unrecognised: bool = False) -> None:
        self.path, self.key, self.raw, self.found = path, key, raw, found
        self.unrecognised = unrecognised and not raw  # lumaqc.probe() knows it not
        # Why it is not analysed at all ("": it is); it still gets a row.
        self.skip = skip
        # Found in a directory with a name that is not a video's: left out
        # of the catalogue when it holds no video.
        self.quiet = found and os.path.splitext(path)[1].lower() not in VIDEO_EXTENSIONS


def _key_outside(path: str) -> str:
    relative = os.path.relpath(path)
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        return path.lstrip(os.sep)
    return relative


def _regular(path: str) -> bool:
    """Whether `path` (its link's target) exists and is a regular file."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def _matches(globs: List[str], relative: str) -> bool:
    if not globs:
        return True
    name = os.path.basename(relative)
    return any(fnmatch.fnmatch(relative if os.sep in g else name, g) for g in globs)


def collect_inputs(args: argparse.Namespace, outdir: str, notes: List[str]) -> List[Item]:
    """The files to analyse, each with its key (its path relative to OUTDIR, less .json)."""
    arguments: List[str] = []
    for argument in args.inputs:
        if argument.startswith("@"):
            try:
                with open(argument[1:], encoding="utf-8", errors="surrogateescape") as listing:
                    arguments += [line.rstrip("\r\n") for line in listing
                                  if line.strip() and not line.startswith("#")]
            except OSError as error:
                raise BatchError(f"cannot read the list {argument[1:]}: {error.strerror}") from None
        else:
            arguments.append(argument)

    items: List[Item] = []
    not_video = raw_without_size = 0
    for argument in arguments:
        path = os.path.abspath(argument)
        if not os.path.isdir(path):
            # Named files are always analysed; what cannot be read becomes an
            # error row. A named pipe or a device is not read at all.
            unrecognised = not _regular(path) or lumaqc.probe(path) is None
            items.append(Item(path, _key_outside(path), args.size is not None and unrecognised,
                              unrecognised=unrecognised))
            continue
        for folder, subfolders, files in os.walk(path):
            subfolders[:] = sorted(d for d in subfolders
                                   if os.path.abspath(os.path.join(folder, d)) != outdir)
            for name in sorted(files):
                file_path = os.path.join(folder, name)
                relative = os.path.relpath(file_path, path)
                if not _matches(args.glob, relative):
                    continue
                video_name = os.path.splitext(name)[1].lower() in VIDEO_EXTENSIONS
                if not _regular(file_path):
                    # A broken link or a named pipe with a video's name gets a
                    # row saying so; others are counted with what is not video.
                    if video_name:
                        items.append(Item(file_path, relative, found=True, unrecognised=True))
                    else:
                        not_video += 1
                    continue
                if lumaqc.probe(file_path) is not None:
                    items.append(Item(file_path, relative, found=True))
                elif name.lower().endswith(".yuv"):
                    if args.size is not None:
                        items.append(Item(file_path, relative, raw=True, found=True))
                    else:
                        raw_without_size += 1
                        items.append(Item(file_path, relative, found=True, skip=(
                            "raw video: give its picture size with --size WxH")))
                elif video_name:
                    # Empty or not video after all: analysed for its row and reason.
                    items.append(Item(file_path, relative, found=True, unrecognised=True))
                else:
                    not_video += 1
    if raw_without_size:
        notes.append(f"{raw_without_size} raw .yuv file(s) skipped: give their picture size "
                     "with --size WxH")
    if not_video:
        notes.append(f"{not_video} file(s) in the directories are not video and were left out")

    seen: Dict[str, str] = {}
    unique: List[Item] = []
    for item in items:
        if item.key in seen:
            if seen[item.key] == item.path:
                continue
            raise BatchError(f"{seen[item.key]} and {item.path} would both be written to "
                             f"{os.path.join(outdir, item.key)}.json")
        seen[item.key] = item.path
        unique.append(item)
    return unique


# ----------------------------------------------------------- catalogue

def format_value(value: Any) -> str:
    if value is None or (isinstance(value, float) and value != value):
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


# Columns of text (the others hold numbers). A spreadsheet takes a cell that
# begins with =, +, -, @, a tab or a carriage return for a formula: such
# cells get a ' in front (so do cells that begin with ' themselves, so that
# read_catalog() can take the ' off again without doubt).
TEXT_FIELDS = frozenset(("path", "result", "mtime", "hash", "tool_version", "options", "codec",
                         "status", "error", "verdict", "reason", "first_error_type",
                         "first_error_timecode"))
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r", "'")


def cell_text(field: str, value: Any) -> str:
    text = format_value(value)
    if field in TEXT_FIELDS and text.startswith(FORMULA_STARTS):
        return "'" + text
    return text


def cell_value(field: str, text: str) -> str:
    return text[1:] if field in TEXT_FIELDS and text.startswith("'") else text


def read_catalog(path: str) -> Dict[str, Dict[str, str]]:
    try:
        with open(path, newline="", encoding="utf-8", errors="surrogateescape") as file:
            rows = [{field: cell_value(field, text) for field, text in row.items()}
                    for row in csv.DictReader(file)]
        return {row["path"]: row for row in rows if row.get("path")}
    except (OSError, csv.Error, KeyError, AttributeError, TypeError):
        return {}


def _write_whole(path: str, text: str) -> None:
    """Writes `text` under a temporary name beside `path`, on the disk
    (fsync) before it is renamed to `path`; nothing is left on a failure."""
    temporary = os.path.join(os.path.dirname(path),
                             f".{os.path.basename(path)}.{os.getpid()}.part")
    try:
        with open(temporary, "w", newline="", encoding="utf-8", errors="surrogateescape") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        _drop(temporary)
        raise


def write_catalog(outdir: str, rows: Dict[str, Dict[str, Any]]) -> Optional[str]:
    """catalog.csv (RFC 4180: CRLF line ends, quotes where needed), written
    whole under a temporary name and renamed; catalog.parquet too when
    pandas has a Parquet engine. Returns None, or one line saying why the
    catalogue could not be written (the earlier one is then left as it was)."""
    ordered = [rows[path] for path in sorted(rows)]
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow(FIELDS)
    for row in ordered:
        writer.writerow([cell_text(field, row.get(field)) for field in FIELDS])
    final = os.path.join(outdir, CATALOG)
    try:
        _write_whole(final, text.getvalue())
    except OSError as error:
        return f"cannot write the catalogue {lumaqc.shown_name(final)}: {error.strerror or error}"
    if not any(importlib.util.find_spec(engine) for engine in ("pyarrow", "fastparquet")):
        return None  # pandas (a third of a second to import) would have no engine
    temporary = os.path.join(outdir, f".catalog.parquet.{os.getpid()}.part")
    try:
        import pandas as pd

        frame = pd.DataFrame([[format_value(row.get(field)) for field in FIELDS]
                              for row in ordered], columns=FIELDS)
        frame = pd.read_csv(io.StringIO(frame.to_csv(index=False)))
        frame.to_parquet(temporary)
        os.replace(temporary, os.path.join(outdir, "catalog.parquet"))
    except Exception:  # noqa: BLE001 - no Parquet engine installed: CSV only
        _drop(temporary)
    return None


def reusable(previous: Optional[Dict[str, str]], item: Item, outdir: str, options: str,
             report: bool, file_timeout: Optional[float] = None) -> bool:
    """Whether the earlier row of this file still stands: same size,
    modification time, content hash, options and lumaqc version, and its
    results are there. A file that --file-timeout stopped is tried again
    when it has more time now (a higher limit, or none)."""
    if previous is None or previous.get("error", "").startswith(OWN_ERROR):
        return False
    recorded, limit = stopped_after(previous.get("options") or "")
    if limit is not None and (file_timeout is None or file_timeout > limit):
        return False
    try:
        st = os.stat(item.path)
        if special_kind(st.st_mode):
            return False  # never hashed: a pipe would be read
        if (previous.get("tool_version") != lumaqc.__version__
                or recorded != options
                or previous.get("size") != str(st.st_size)
                or previous.get("mtime") != iso_mtime(st.st_mtime_ns)):
            return False
        if previous.get("status") == "ok":
            wanted = [".json"] + ([".html"] if report else [])
            if not all(os.path.isfile(os.path.join(outdir, item.key + ext)) for ext in wanted):
                return False
        return previous.get("hash") == content_hash(item.path, st.st_size)
    except OSError:
        return False


# ------------------------------------------------------------ progress

class Progress:
    """One line on a terminal: files done, failed, files per second, time left."""

    def __init__(self, total: int, stream: Any = None) -> None:
        self.total, self.stream = total, stream or sys.stderr
        self.enabled = (total > 0 and hasattr(self.stream, "isatty")
                        and self.stream.isatty())
        self.start = self.drawn = time.monotonic()
        self.width = 0

    def draw(self, done: int, failed: int, force: bool = False) -> None:
        now = time.monotonic()
        if not self.enabled or (not force and now - self.drawn < 0.1):
            return
        self.drawn = now
        elapsed = max(now - self.start, 1e-9)
        rate = done / elapsed
        left = (self.total - done) / rate if rate > 0 else None
        eta = "--:--" if left is None else f"{int(left) // 60:d}:{int(left) % 60:02d}"
        bar_width = 24
        filled = bar_width * done // self.total
        line = (f"[{'#' * filled}{'.' * (bar_width - filled)}] {done}/{self.total} files, "
                f"{failed} failed, {rate:.1f} files/s, {eta} left")
        self.stream.write("\r" + line.ljust(self.width))
        self.stream.flush()
        self.width = len(line)

    def clear(self) -> None:
        if self.enabled and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


# --------------------------------------------------------------- main

def _refusal(option: str, keyword: str, topic: str) -> Optional[str]:
    """Why the batch does not take an option of the lumaqc program, or None
    for the per-file analysis options it takes."""
    if topic == "Outputs" or keyword == "events":
        return (f"{option} is an output of one lumaqc run: the batch writes each file's "
                "OUTDIR/<path>.json (and .html with --report) and OUTDIR/catalog.csv")
    if topic == "Live monitoring":
        return f"{option} is for live monitoring, which the lumaqc program does"
    if keyword == "print_profile":
        return f"{option} is for one profile: run lumaqc --print-profile"
    return None


class _ProgramOption(argparse.Action):
    """An option of the lumaqc program: its words are kept, in order, for the
    program's own parser (lumaqc._lumaqc.parse_options)."""

    def __call__(self, parser: Any, namespace: Any, values: Any, option: Any = None) -> None:
        words = getattr(namespace, "program_words", None) or []
        words += [option] + ([] if values == [] else [values])
        namespace.program_words = words


class _Refused(argparse.Action):
    """An option of the lumaqc program that makes no sense for a batch."""

    def __init__(self, *args: Any, refusal: str, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.refusal = refusal

    def __call__(self, parser: Any, namespace: Any, values: Any, option: Any = None) -> None:
        parser.error(self.refusal)


def parse_arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="lumaqc-batch", description=__doc__.split("\n\n")[0].split(": ", 1)[1],
        epilog="Files, directories (searched recursively by content) and @LIST files may be "
               "mixed; see the README's 'Archives and clusters'.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="a video file, a directory or @LIST (one path per line)")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                        help="where the results and catalog.csv go")
    parser.add_argument("--glob", action="append", default=[], metavar="PATTERN",
                        help="only files in the directories that match (on the name, or on the "
                             "relative path when PATTERN has a /); may be repeated")
    parser.add_argument("--size", metavar="WxH", type=_size,
                        help="picture size of raw 4:2:0 files (.yuv in directories)")
    parser.add_argument("--threads-per-task", type=_threads, default=1, metavar="N",
                        help="engine threads per file (default 1; --threads is the same)")
    parser.add_argument("--subsample", type=_positive, default=1, metavar="N",
                        help="statistics of the catalogue over every Nth frame (default 1); the "
                             "indicators still see every frame")
    parser.add_argument("--report", action="store_true", help="write each file's HTML report too")
    parser.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="an existing Dask scheduler (default: worker processes here)")
    parser.add_argument("--workers", type=_workers, metavar="N",
                        help="worker processes here, without --scheduler (default: cores / threads "
                             "per task)")
    parser.add_argument("--timeout", type=_seconds, default=30.0, metavar="SECONDS",
                        help="how long to wait for the scheduler (default 30)")
    parser.add_argument("--file-timeout", type=_file_seconds, metavar="SECONDS",
                        help="the longest the analysis of one file may run: a file still "
                             "running then is stopped and gets an error row (default: no limit; "
                             "at most 604800, a week)")
    parser.add_argument("--version", action="version", version=f"lumaqc-batch {lumaqc.__version__}")
    # The lumaqc program's options for the analysis of each file, from its
    # option table: read, checked and refused as the program reads them. The
    # outputs of one run and live monitoring are refused with one line.
    group = parser.add_argument_group(
        "the lumaqc program's options for each file",
        "read and refused as lumaqc reads them (see lumaqc --help)")
    for option, keyword, topic, text, flag in lumaqc._lumaqc.option_table:
        if keyword == "report":
            continue  # the batch's own --report: each file's HTML report beside its document
        refusal = _refusal(option, keyword, topic)
        if refusal is not None:
            parser.add_argument(option, dest=f"refused_{keyword}", nargs="?", action=_Refused,
                                refusal=refusal, help=argparse.SUPPRESS)
        else:
            if keyword == "threads":  # the batch's default is one per file
                text = "engine threads per file, as --threads-per-task (0: every hardware thread)"
            group.add_argument(option, dest=f"program_{keyword}", action=_ProgramOption,
                               nargs=0 if flag else None,
                               metavar=None if flag else keyword.upper(),
                               help=text.replace("%", "%%"))
    args = parser.parse_args(argv)
    try:
        given = lumaqc._lumaqc.parse_options(getattr(args, "program_words", None) or [])
    except lumaqc._lumaqc.Error as error:
        parser.error(str(error).removeprefix("lumaqc: "))
    # The per-file options by keyword (paths as text), for analyze_file().
    args.analysis = {keyword: os.fsdecode(value) if isinstance(value, bytes) else value
                     for keyword, value in given.items()}
    args.frames = args.analysis.get("frames")
    args.profile = args.analysis.pop("profile", None)
    # --threads is --threads-per-task under the program's name (0: every
    # hardware thread).
    args.threads_per_task = args.analysis.pop("threads", args.threads_per_task)
    return args


def _positive(text: str, most: int = 2**63 - 1) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    if value > most:
        raise argparse.ArgumentTypeError(f"{text} is out of range, must be 1 to {most}")
    return value


def _threads(text: str) -> int:
    return _positive(text, 1024)


def _workers(text: str) -> int:
    return _positive(text, 4096)


def _seconds(text: str, most: int = 86400, span: str = "a day") -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value <= most:
        raise argparse.ArgumentTypeError(f"{text!r} is out of range: give seconds from more "
                                         f"than 0 to {most} ({span})")
    return value


def _file_seconds(text: str) -> float:
    return _seconds(text, 604800, "a week")


def _size(text: str) -> Tuple[int, int]:
    width, _, height = text.lower().partition("x")
    try:
        size = (int(width), int(height))
    except ValueError:
        size = (0, 0)
    if size[0] < 1 or size[1] < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size WxH")
    return size


class StopSignals:
    """SIGINT/SIGTERM: the first stops new tasks, a second stops waiting."""

    def __init__(self) -> None:
        self.signal = 0
        self.count = 0
        for signo in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signo, self._on_signal)

    def _on_signal(self, signo: int, _frame: Any) -> None:
        self.signal = self.signal or signo
        self.count += 1


class LocalPool:
    """Worker processes forked from this one, one file each at a time.

    Forking a process that has already loaded lumaqc takes milliseconds,
    and the pool needs none of Dask's machinery (importing it alone takes
    longer than a small batch's work). Each file still runs in a process of
    its own, so a file that crashes the decoder takes down one worker, not
    the batch: the worker is replaced and the file tried again, and after
    DEATHS deaths it gets an error row. A worker busy with one file longer
    than `file_timeout` seconds (a decoder stuck on a damaged stream, a read
    that never returns) is killed and replaced, and its file gets an error
    row without being tried again. The workers ignore SIGINT and SIGTERM
    (a Ctrl-C reaches the whole process group, and so may a service
    manager's stop): the batch tells them when to stop."""

    DEATHS = 3

    class Task:
        """A busy worker: its process, file and job, since when it has the
        file, and what it told of it (the row's first columns and the
        temporary names of its results) once it began the analysis."""

        def __init__(self, process: Any, item: Item, job: Dict[str, Any]) -> None:
            self.process, self.item, self.job = process, item, job
            self.since = time.monotonic()
            self.head: Optional[Dict[str, Any]] = None
            self.temporaries: Tuple[str, ...] = ()

    def __init__(self, workers: int, file_timeout: Optional[float] = None) -> None:
        import multiprocessing

        self.context = multiprocessing.get_context("fork")
        self.file_timeout = file_timeout
        self.idle: List[Tuple[Any, Any]] = []
        # The batch's end of each busy worker's pipe, and its task.
        self.busy: Dict[Any, LocalPool.Task] = {}
        self.deaths: Dict[str, int] = {}
        self.lost = False
        for _ in range(workers):
            self.idle.append(self._fork())

    def _fork(self) -> Tuple[Any, Any]:
        ours, theirs = self.context.Pipe()
        others = [conn for _, conn in self.idle] + list(self.busy)
        process = self.context.Process(target=_serve, args=(theirs, others), daemon=True)
        process.start()
        theirs.close()
        return process, ours

    def running(self) -> int:
        return len(self.busy)

    def free(self) -> bool:
        return bool(self.idle)

    def submit(self, item: Item, job: Dict[str, Any]) -> None:
        process, conn = self.idle.pop()
        try:
            conn.send(job)
        except OSError:
            pass  # the worker died: wait() finds it gone
        self.busy[conn] = LocalPool.Task(process, item, job)

    @staticmethod
    def _row(conn: Any, task: "LocalPool.Task") -> Optional[Dict[str, Any]]:
        """The row the worker sent, or None; notes what it told before it."""
        try:
            while conn.poll():
                message = conn.recv()
                if not isinstance(message, tuple):
                    return message
                task.head, task.temporaries = message
        except (EOFError, OSError):
            pass
        return None

    def wait(self, timeout: float) -> List[Tuple[Any, Optional[Dict[str, Any]]]]:
        """The files finished (with their rows) within `timeout` seconds."""
        from multiprocessing.connection import wait

        if self.file_timeout is not None and self.busy:
            first = min(task.since for task in self.busy.values()) + self.file_timeout
            timeout = max(0.0, min(timeout, first - time.monotonic()))
        sentinels = {task.process.sentinel: conn for conn, task in self.busy.items()}
        finished = []
        for ready in wait(list(self.busy) + list(sentinels), timeout):
            conn = sentinels.get(ready, ready)
            task = self.busy.get(conn)
            if task is None:
                continue
            row = self._row(conn, task)
            if row is None and task.process.is_alive():
                continue  # it told that it began
            del self.busy[conn]
            if row is not None:
                self.idle.append((task.process, conn))
                finished.append((task.item, row))
                continue
            conn.close()
            task.process.join()
            self.idle.append(self._fork())
            path = task.job["path"]
            deaths = self.deaths[path] = self.deaths.get(path, 0) + 1
            if deaths < self.DEATHS:
                self.submit(task.item, task.job)
            else:
                finished.append((task.item, _died_row(task.item)))
        if self.file_timeout is not None:
            finished += self._stop_overdue()
        return finished

    def _stop_overdue(self) -> List[Tuple[Any, Optional[Dict[str, Any]]]]:
        """Kills the workers busy with one file for longer than the limit and
        forks others in their place; rows for their files."""
        now = time.monotonic()
        stopped = []
        for conn, task in list(self.busy.items()):
            if now - task.since < self.file_timeout:
                continue
            del self.busy[conn]
            task.process.kill()
            task.process.join()
            row = self._row(conn, task)  # a row sent just before counts
            conn.close()
            self.idle.append(self._fork())
            if row is None:
                _drop(*task.temporaries)
                job = task.job
                row = timed_out_row(task.head or {
                    "path": job["path"], "tool_version": lumaqc.__version__,
                    "options": job["options"]}, self.file_timeout)
            stopped.append((task.item, row))
        return stopped

    def close(self) -> None:
        """Stops the workers: the idle ones when they read the end, the
        busy ones (after a second signal) at once."""
        for process, conn in self.idle:
            try:
                conn.send(None)
            except OSError:
                pass
        for task in self.busy.values():
            task.process.kill()
        for process, conn in self.idle + [(t.process, c) for c, t in self.busy.items()]:
            process.join(10)
            if process.is_alive():
                process.kill()
                process.join()
            conn.close()


def _serve(conn: Any, others: List[Any]) -> None:
    """A worker of the local pool: analyses the jobs it is sent until None.
    For each it sends (first columns, temporary names) as the analysis
    begins, then the row."""
    for signo in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signo, signal.SIG_IGN)
    for other in others:  # the batch's ends of the other workers' pipes
        other.close()
    while True:
        try:
            job = conn.recv()
        except (EOFError, OSError):
            return
        if job is None:
            return
        try:
            row = analyze_task(job, lambda head, temporaries: conn.send((head, temporaries)))
        except Exception as error:  # noqa: BLE001 - analyze_task makes its own rows
            row = {"path": job["path"], "status": "error", "tool_version": lumaqc.__version__,
                   "error": f"{OWN_ERROR}{type(error).__name__}: {error}"}
        conn.send(row)


class DaskPool:
    """The tasks on an existing Dask cluster: at most two per worker thread
    in flight, each tried again once by Dask. A thread of a Dask worker
    cannot be killed: with --file-timeout the task stops its analysis
    between two frames once the time is up."""

    def __init__(self, args: argparse.Namespace) -> None:
        from distributed import Client

        try:
            client = Client(args.scheduler, timeout=args.timeout)
        except (OSError, ValueError) as error:
            raise BatchError(f"cannot reach the scheduler {args.scheduler}: {error}") from None
        self.client = client
        self.futures: Dict[Any, Any] = {}  # close() below looks at them
        self.lost = False
        self.file_timeout: Optional[float] = args.file_timeout
        try:
            versions = client.run(worker_version)
        except Exception as error:  # noqa: BLE001 - a worker without the package
            self.close()
            raise BatchError(f"a worker of {args.scheduler} cannot run lumaqc: "
                             f"{type(error).__name__}: {error}") from None
        wrong = {worker: v for worker, v in versions.items() if v != lumaqc.__version__}
        if wrong:
            self.close()
            worker, version = next(iter(wrong.items()))
            raise BatchError(f"worker {worker} runs lumaqc {version}, this is "
                             f"{lumaqc.__version__}; the values could differ")

    def running(self) -> int:
        return len(self.futures)

    def free(self) -> bool:
        try:
            threads = sum(self.client.nthreads().values()) or 1
        except Exception:  # noqa: BLE001 - the scheduler went away
            threads = 1
        return len(self.futures) < 2 * threads

    def submit(self, item: Item, job: Dict[str, Any]) -> None:
        if self.file_timeout is not None:
            job = dict(job, time_limit=self.file_timeout)
        future = self.client.submit(analyze_task, job, key=f"lumaqc-{uuid.uuid4().hex}",
                                    retries=1, pure=False)
        self.futures[future] = item

    def wait(self, timeout: float) -> List[Tuple[Any, Optional[Dict[str, Any]]]]:
        """The files finished within `timeout` seconds; a file with None for
        its row was not run (the scheduler was lost)."""
        from distributed import wait

        try:
            if self.futures:
                wait(list(self.futures), timeout=timeout, return_when="FIRST_COMPLETED")
        except Exception:  # noqa: BLE001 - a timeout, or the scheduler went away
            pass
        finished: List[Tuple[Any, Optional[Dict[str, Any]]]] = []
        for future in [future for future in self.futures if future.done()]:
            item = self.futures.pop(future)
            if future.status == "cancelled":  # only a lost scheduler cancels tasks here
                self.lost = True
                finished.append((item, None))
            else:
                finished.append((item, _row_of(future, item)))
        self.lost = self.lost or self.client.status not in ("running", "connecting")
        return finished

    def close(self) -> None:
        for future in self.futures:
            future.cancel()
        try:
            self.client.close(timeout=10)
        except Exception:  # noqa: BLE001 - shutting down anyway
            pass


def lock_outdir(outdir: str) -> Any:
    """One batch at a time in OUTDIR: the lock is held until the process ends."""
    try:
        os.makedirs(outdir, exist_ok=True)
        lock = open(os.path.join(outdir, ".lumaqc-batch.lock"), "w")
    except OSError as error:
        raise BatchError(f"cannot create {outdir}: {error.strerror}") from None
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        raise BatchError(f"another lumaqc-batch is writing to {outdir}") from None
    return lock


def remove_leftovers(outdir: str) -> None:
    """Temporary files of tasks that died before renaming them."""
    for folder, _, files in os.walk(outdir):
        for name in files:
            if name.startswith(".") and name.endswith(".part"):
                try:
                    os.unlink(os.path.join(folder, name))
                except OSError:
                    pass


def run(args: argparse.Namespace) -> int:
    outdir = os.path.abspath(args.output)
    lock = lock_outdir(outdir)
    remove_leftovers(outdir)
    if args.profile is not None:
        # Refused before anything runs; a profile file is named by its full path for the workers.
        try:
            lumaqc._lumaqc.check_profile(args.profile)
        except lumaqc._lumaqc.Error as error:
            raise BatchError(str(error).removeprefix("lumaqc: ")) from None
        if os.path.isfile(args.profile):
            args.profile = os.path.abspath(args.profile)
    stops = StopSignals()
    notes: List[str] = []
    items = collect_inputs(args, outdir, notes)
    for note in notes:
        print(f"lumaqc-batch: {note}", file=sys.stderr)
    # The options that shape the results (not --threads: the values are the
    # same for any count), for the reruns to compare.
    others = [(name, value) for name, value in args.analysis.items() if name != "frames"]
    options = ";".join(f"{name}={value}" for name, value in [
        ("frames", args.frames), ("subsample", args.subsample), ("profile", args.profile),
        ("size", "x".join(map(str, args.size)) if args.size else None)] + others
        if value is not None)
    analysis = dict(args.analysis, profile=args.profile, threads=args.threads_per_task)

    previous = read_catalog(os.path.join(outdir, CATALOG))
    rows: Dict[str, Dict[str, Any]] = {}
    todo: List[Item] = []
    for item in items:
        if item.skip:
            rows[item.path] = {"path": item.path, "tool_version": lumaqc.__version__,
                               "options": options, "status": "skipped", "reason": item.skip}
        elif reusable(previous.get(item.path), item, outdir, options, args.report,
                      args.file_timeout):
            rows[item.path] = previous[item.path]
        else:
            todo.append(item)
    # Files whose results an earlier run left (not the catalogue's "skipped"
    # rows: raw files without a picture size, counted apart).
    reused = sum(1 for item in items if not item.skip and item.path in rows)
    raw_skipped = sum(1 for item in items if item.skip)
    if reused:
        analysable = sum(1 for item in items if not item.skip)
        print(f"lumaqc-batch: reused the results of {reused} of {analysable} files already "
              "analysed (same size, modification time, content hash, options and lumaqc version)",
              file=sys.stderr)

    started = time.monotonic()
    done = failed = left_out = timed_out = 0
    lost = False
    progress = Progress(len(todo))
    if todo and not stops.signal:
        pool = DaskPool(args) if args.scheduler else LocalPool(
            args.workers or max(1, (os.cpu_count() or 1) // (args.threads_per_task or 1)),
            args.file_timeout)
        progress = Progress(len(todo))  # the rate counts from here
        # The largest files first, so that the last ones to finish are short.
        pending = sorted(reversed(todo), key=_size_of)
        last_save = time.monotonic()
        try:
            while ((pool.running() or (pending and not stops.signal)) and stops.count < 2
                   and not lost):
                while pending and not stops.signal and pool.free():
                    item = pending.pop()
                    pool.submit(item, {
                        "path": item.path, "key": item.key, "outdir": outdir,
                        "size": args.size if item.raw else None, "analysis": analysis,
                        "subsample": args.subsample, "report": args.report,
                        "unrecognised": item.unrecognised, "options": options})
                for item, row in pool.wait(0.25):
                    if row is None:  # not run
                        pending.append(item)
                        continue
                    if row.pop("not_video", False) and item.quiet:
                        left_out += 1  # found in a directory, not video after all
                        continue
                    if row.get("status") != "ok" or row.pop("failed", False):
                        failed += 1
                    if stopped_after(row.get("options") or "")[1] is not None:
                        timed_out += 1
                    rows[item.path] = row
                    done += 1
                lost = pool.lost
                progress.draw(done + left_out, failed)
                if time.monotonic() - last_save > 10:
                    write_catalog(outdir, rows)  # a failure is reported by the last write
                    last_save = time.monotonic()
            if not pool.running() and not lost:
                remove_leftovers(outdir)
        finally:
            pool.close()
    progress.clear()
    catalog_error = write_catalog(outdir, rows)
    seconds = time.monotonic() - started
    failed_total = sum(1 for row in rows.values() if row.get("status") not in ("ok", "skipped")
                       or row.get("verdict") == "fail")
    counts = f"{done} analysed, {reused} reused, {failed_total} with errors or failing"
    summary = f"lumaqc-batch: {len(rows)} files in {os.path.join(outdir, CATALOG)}: {counts}"
    if done:
        summary += f" ({seconds:.1f} s, {done / seconds:.2f} files/s)"
    if raw_skipped:
        summary += f"; {raw_skipped} raw .yuv skipped without --size"
    if left_out:
        summary += f"; {left_out} not video"
    if timed_out:
        summary += (f"; {timed_out} stopped after {seconds_text(args.file_timeout)} s "
                    "(--file-timeout)")
    if catalog_error:
        summary = (f"lumaqc-batch: {catalog_error}; {done} files analysed, {reused} reused, "
                   f"{failed_total} with errors or failing")
    print(summary, file=sys.stderr)
    if lost:
        print(f"lumaqc-batch: lost the scheduler; {len(todo) - done - left_out} files not "
              "analysed (run the batch again to finish them)", file=sys.stderr)
        return 1
    if stops.signal:
        name = "SIGINT" if stops.signal == signal.SIGINT else "SIGTERM"
        print(f"lumaqc-batch: stopped by {name}; {len(todo) - done - left_out} files not analysed",
              file=sys.stderr)
        return 128 + stops.signal
    lock.close()
    return 1 if failed_total or catalog_error else 0


def _size_of(item: Item) -> int:
    try:
        return os.stat(item.path).st_size
    except OSError:
        return 0


def _died_row(item: Item) -> Dict[str, Any]:
    return {"path": item.path, "status": "error", "tool_version": lumaqc.__version__,
            "error": OWN_ERROR + "the workers analysing this file died (the file may crash "
                                 "the decoder)"}


def _row_of(future: Any, item: Item) -> Dict[str, Any]:
    """The task's row, or an error row for a task Dask gave up on (a worker
    that died each time it ran, an exception outside the analysis)."""
    try:
        return future.result(timeout=60)
    except Exception as error:  # noqa: BLE001
        text = str(error) or type(error).__name__
        if type(error).__name__ == "KilledWorker":
            return _died_row(item)
        return {"path": item.path, "status": "error", "tool_version": lumaqc.__version__,
                "error": OWN_ERROR + text}


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_arguments(argv)
    try:
        return run(args)
    except BatchError as error:
        print(f"lumaqc-batch: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
