"""The binding against the program: the same values, bit for bit."""
import json
import math
import os
import pathlib
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import make_clip, program, run_lumaqc

lumaqc = pytest.importorskip("lumaqc", reason="the Python module was not built")

WIDTH, HEIGHT = 352, 288


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def test_analyzers_match_the_program_on_the_test_card_in_any_thread(testcard, tmp_path):
    card, log = testcard
    frames = np.fromfile(card, np.uint8).reshape(-1, HEIGHT * WIDTH * 3 // 2)
    document = json.loads(run_lumaqc(card, WIDTH, HEIGHT, cwd=tmp_path)[0])
    rows = [line.split("\t") for line in log.read_text().splitlines()[1:]]
    assert len(rows) == len(frames) == len(document["frames"]) == 137

    # Each plane is a view into a wider, offset buffer: rows 400 bytes apart, read in place.
    padded = np.zeros((HEIGHT, WIDTH + 48), np.uint8)
    plane = padded[:, 7:7 + WIDTH]
    analyzer = lumaqc.Analyzer(WIDTH, HEIGHT, 25.0)
    for index, frame in enumerate(frames):
        plane[:] = frame[:HEIGHT * WIDTH].reshape(HEIGHT, WIDTH)
        values = analyzer.analyze(plane)
        assert list(values) == lumaqc.keys
        expected = document["frames"][index]
        for key in lumaqc.keys:
            assert same(values[key], float("nan") if expected[key] is None else expected[key]), \
                (index, key)
        # The log's text: every value it prints, rounded as it prints it.
        for column, key in enumerate(lumaqc.keys, start=1):
            text = rows[index][column].strip()
            if math.isnan(values[key]):
                continue  # null in the JSON: -1 markers, nan, the first flicker value
            digits = len(text.partition(".")[2])
            assert abs(float(text) - values[key]) <= 0.5 * 10**-digits + 1e-12, (index, key, text)
    assert analyzer.frames == 137

    # Analyzers in threads of their own give the same values.
    planes = [f[:HEIGHT * WIDTH].reshape(HEIGHT, WIDTH) for f in frames[:24]]

    def work(_):
        mine = lumaqc.Analyzer(WIDTH, HEIGHT)
        return [mine.analyze(p) for p in planes]

    expected = work(None)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(work, range(4), timeout=60))
    for result in results:
        assert [[same(r[k], e[k]) for k in lumaqc.keys] for r, e in zip(result, expected)] == \
            [[True] * 15] * len(planes)


def test_analyzer_refuses_what_it_cannot_read_in_place():
    analyzer = lumaqc.Analyzer(8, 8)
    cases = [
        (np.zeros((8, 16), np.uint8)[:, ::2], ValueError, "contiguous"),
        (np.zeros((8, 8), np.uint8)[::-1], ValueError, "contiguous"),
        (np.zeros((8, 8), np.uint16), TypeError, "uint8"),
        (np.zeros(64, np.uint8), TypeError, "2-D"),
        ([[0] * 8] * 8, TypeError, "numpy"),
        (np.zeros((8, 9), np.uint8), ValueError, "9x8"),
    ]
    for luma, error, text in cases:
        with pytest.raises(error, match=text):
            analyzer.analyze(luma)
    assert analyzer.frames == 0
    with pytest.raises(ValueError):
        lumaqc.Analyzer(0, 8)
    for empty in (np.zeros((0, 0), np.uint8), np.zeros((0, 8), np.uint8), np.zeros((8, 0), np.uint8)):
        with pytest.raises(ValueError, match=r"luma is empty \(\d+ x \d+ samples\)"):
            analyzer.analyze(empty)


def test_analyze_file_on_raw_and_decoded_input(testcard, tmp_path):
    card, _ = testcard
    clip = make_clip(tmp_path / "clip.mp4", frames=24)
    for args, kwargs in [((card, WIDTH, HEIGHT, "--frames", 30, "--start", 100),
                          dict(width=WIDTH, height=HEIGHT, frames=30, start=100, threads=2)),
                         ((clip,), dict()),
                         ((clip, "--profile", "default"), dict(profile="default"))]:
        path = str(args[0])
        mine = tmp_path / "mine.json"
        result = lumaqc.analyze_file(path, json=str(mine), **kwargs)
        program, _ = run_lumaqc(*args, cwd=tmp_path)
        assert mine.read_bytes() == program  # the library's own JSON document
        document = json.loads(program)
        assert result.complete and len(result) == document["frames_analysed"]
        assert result.frame.tolist() == [f["frame"] for f in document["frames"]]
        for key in lumaqc.keys:
            expected = np.array([np.nan if f[key] is None else f[key] for f in document["frames"]])
            np.testing.assert_array_equal(result.values[key], expected)
        assert result.summary == document["summary"]
        assert (result.verdict, result.events) == (document.get("verdict"), document.get("events"))
        if "verdict" in document:  # under a profile the frames carry their times
            assert result.time.tolist() == [f["time"] for f in document["frames"]]
        frame = result.to_pandas()
        assert list(frame.columns) == lumaqc.keys and frame.index.name == "frame"
    assert result.input["codec"] == "h264" and result.input["width"] == 160

    # Errors carry the program's message; a run that stops keeps its frames.
    (tmp_path / "notes.txt").write_text("not a video\n")
    with pytest.raises(lumaqc.NotVideoError):
        lumaqc.analyze_file(str(tmp_path / "notes.txt"))
    cut = tmp_path / "cut.y4m"
    make_clip(cut, frames=10, codec=())
    cut.write_bytes(cut.read_bytes()[:-5000])
    with pytest.raises(lumaqc.Error) as stopped:
        lumaqc.analyze_file(str(cut))
    _, done = run_lumaqc(cut, cwd=tmp_path)
    assert str(stopped.value) == done.stderr.strip()
    assert len(stopped.value.result) == 9 and not stopped.value.result.complete
    assert os.path.exists(cut)
    # No frame analysed (a start past the end) is no verdict and no document:
    # an earlier one stays.
    (tmp_path / "kept.json").write_bytes(b"earlier")
    for options in (["--profile", "default"], []):
        profile = {"profile": options[1]} if options else {}
        with pytest.raises(lumaqc.Error) as nothing:
            lumaqc.analyze_file(str(clip), start=100, json=str(tmp_path / "kept.json"), **profile)
        document, done = run_lumaqc(clip, "--start", 100, *options, cwd=tmp_path)
        assert (done.returncode, str(nothing.value), document) == (255, done.stderr.strip(), None)
        assert (tmp_path / "kept.json").read_bytes() == b"earlier"
        assert "QC verdict" not in done.stdout


def test_analyze_file_takes_every_option_of_the_program(testcard, tmp_path, monkeypatch):
    """Every named option of the program is a keyword of analyze_file(), refused
    with the program's words and written as the program writes it."""
    bin_ = program("LUMAQC_BIN")
    help_ = subprocess.run([bin_, "--help"], capture_output=True, text=True, timeout=60).stdout
    named = set(re.findall(r"^  --([a-z-]+)", help_, flags=re.M)) - {"help", "version"}
    assert {name.replace("-", "_") for name in named} == set(lumaqc.options)

    monkeypatch.chdir(tmp_path)
    card, _ = testcard
    clip = tmp_path / "clip.yuv"
    clip.write_bytes(card.read_bytes()[: 6 * 352 * 288 * 3 // 2])
    refused = [
        (["--pix-fmt", "yuv420p11le"], {"pix_fmt": "yuv420p11le"}),
        (["--start", "-2"], {"start": -2}),
        (["--stall-timeout", "soon"], {"stall_timeout": "soon"}),
        (["--metrics", "a:b:c"], {"metrics": "a:b:c"}),
        (["--log-rotate", "12X"], {"log_rotate": "12X"}),
        (["--window", "0"], {"window": "0"}),
        (["--json", str(clip)], {"json": str(clip)}),
        (["--csv", "same.csv", "--log", "same.csv"], {"csv": "same.csv", "log": "same.csv"}),
        (["--csv", ""], {"csv": ""}),
    ]
    for args, options in refused:
        done = subprocess.run([bin_, clip, "352", "288", *args], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
        with pytest.raises(lumaqc.Error) as error:
            lumaqc.analyze_file(clip, 352, 288, **options)
        assert (done.returncode, str(error.value)) == (255, done.stderr.strip()), args
    with pytest.raises(TypeError, match="pixfmt"):
        lumaqc.analyze_file(clip, 352, 288, pixfmt="gray")

    # The log, the CSV and the events as the program writes them, from raw
    # input of another layout.
    gray = tmp_path / "gray.yuv"
    gray.write_bytes(card.read_bytes()[: 6 * 352 * 288])
    args = ["--pix-fmt", "gray", "--profile", "default", "--fail-on", "warning"]
    subprocess.run([bin_, gray, "352", "288", *args, "--quiet", "--log", "program.log", "--csv",
                    "program.csv", "--events", "program.jsonl"], cwd=tmp_path,
                   capture_output=True, timeout=120)
    result = lumaqc.analyze_file(gray, 352, 288, pix_fmt="gray", profile="default",
                                 fail_on="warning", log=tmp_path / "mine.log",
                                 csv=tmp_path / "mine.csv", events=tmp_path / "mine.jsonl")
    assert len(result) == 6 and result.profile["fail_on"] == "warning"
    for mine, theirs in [("mine.log", "program.log"), ("mine.csv", "program.csv"),
                         ("mine.jsonl", "program.jsonl")]:
        assert (tmp_path / mine).read_bytes() == (tmp_path / theirs).read_bytes(), mine


def test_the_installed_package_and_command(tmp_path):
    build, cmake = os.environ.get("LUMAQC_BUILD_DIR"), os.environ.get("CMAKE_COMMAND")
    if not build or not cmake:
        pytest.skip("LUMAQC_BUILD_DIR and CMAKE_COMMAND not set")
    prefix = tmp_path / "prefix"
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                   capture_output=True, timeout=120)
    package = prefix / "lib" / "python3" / "dist-packages" / "lumaqc"
    assert {"__init__.py", "batch.py", "_lumaqc.pyi", "py.typed"} <= set(os.listdir(package))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    found = subprocess.run(
        [sys.executable, "-c", "import lumaqc, lumaqc.batch; print(lumaqc.__file__)"],
        env=dict(env, PYTHONPATH=str(package.parent)), cwd=tmp_path, capture_output=True,
        text=True, timeout=60)
    assert found.stdout.strip() == str(package / "__init__.py"), found.stderr
    version = subprocess.run([prefix / "bin" / "lumaqc-batch", "--version"], env=env, cwd=tmp_path,
                             capture_output=True, text=True, timeout=60)
    assert version.stdout.strip() == f"lumaqc-batch {lumaqc.__version__}", version.stderr


def test_paths_are_bytes_and_outputs_are_checked_as_the_program_checks_them(tmp_path):
    # A name that is not UTF-8 and holds an escape sequence, given as bytes,
    # str (os.fsdecode) or a path object: the same file, shown readably.
    folder = os.fsencode(tmp_path)
    name = b"\xff\x1b[31mclip.y4m"
    clip = os.path.join(folder, name)
    make_clip(os.fsdecode(clip), frames=3, codec=())
    victim = open(clip, "rb").read()
    for given in (clip, os.fsdecode(clip), pathlib.Path(os.fsdecode(clip))):
        document = tmp_path / "doc.json"
        result = lumaqc.analyze_file(given, json=document)
        assert len(result) == 3 and result.input["path"] == os.fsdecode(given)
        path = json.loads(document.read_text(encoding="utf-8"))["input"]["path"]
        assert path.endswith("\\xff\x1b[31mclip.y4m") and "\ufffd" not in path
    assert lumaqc.probe(clip) == lumaqc.probe(os.fsdecode(clip)) == "y4m"
    assert lumaqc.shown_name(name) == "\\xff\\x1b[31mclip.y4m"

    # Refused before anything is read or written, as the program refuses them.
    shown = lumaqc.shown_name(clip)
    cases = [
        (dict(path=clip + b"\0.mp4"), ValueError, "holds a NUL character"),
        (dict(path=clip, json=os.fsdecode(clip) + "\0x"), ValueError, "holds a NUL character"),
        (dict(path="http://127.0.0.1:9/stream.ts"), ValueError,
         "is a URL: analyze_file reads files"),
        (dict(path=clip, json=clip), lumaqc.Error,
         f"lumaqc: the JSON document (--json) would overwrite the input {shown}"),
        (dict(path=clip, report=os.fsdecode(clip)), lumaqc.Error,
         f"lumaqc: the HTML report (--report) would overwrite the input {shown}"),
        (dict(path=clip, json=tmp_path / "x", report=str(tmp_path / "x")), lumaqc.Error,
         "lumaqc: the JSON document (--json) and the HTML report (--report) would both be "
         "written to"),
        # The program goes on without a log it cannot create; a caller is told.
        (dict(path=clip, log=tmp_path / "no" / "a.log", json=tmp_path / "x"), lumaqc.Error,
         f"Cannot create the log file {tmp_path}/no/a.log: No such file or directory"),
        (dict(path=clip, log=tmp_path / "no" / "b", log_rotate="1M", report=tmp_path / "x"),
         lumaqc.Error, f"Cannot create the log file {tmp_path}/no/b: No such file or directory"),
        (dict(path=os.path.join(folder, b"missing\x1b[2J.y4m")), lumaqc.Error,
         "Error opening the file " + lumaqc.shown_name(os.path.join(folder, b"missing")) +
         "\\x1b[2J.y4m: No such file or directory"),
    ]
    for kwargs, error, text in cases:
        with pytest.raises(error) as raised:
            lumaqc.analyze_file(**kwargs)
        assert text in str(raised.value), (kwargs, str(raised.value))
        assert "\x1b" not in str(raised.value)
    assert open(clip, "rb").read() == victim
    assert not (tmp_path / "x").exists()


def test_a_time_limit_stops_a_long_run_between_frames(tmp_path):
    # 20000 black frames of 1920 x 1080 (a sparse file): far more than any
    # machine analyses on one thread in 0.2 s.
    clip = tmp_path / "long.yuv"
    with open(clip, "wb") as file:
        file.truncate(1920 * 1080 * 3 // 2 * 20000)
    document = tmp_path / "long.json"
    with pytest.raises(lumaqc.TimeLimitError) as stopped:
        lumaqc.analyze_file(clip, 1920, 1080, threads=1, time_limit=0.2, json=document)
    assert str(stopped.value) == "lumaqc: analysis stopped after 0.2 s (time_limit)"
    result = stopped.value.result
    assert not result.complete and len(result) < 20000
    assert list(result.frame) == list(range(len(result)))  # whole frames, in order
    assert json.loads(document.read_text())["complete"] is False

    # A run that ends within its limit is the same as one without (and
    # returns at once, not when the limit is up).
    short = make_clip(tmp_path / "short.y4m", frames=3, codec=())
    within = lumaqc.analyze_file(short, time_limit=86400 * 1000)
    assert within.complete and within.summary == lumaqc.analyze_file(short).summary

    for value, error in [(0, ValueError), (-1.5, ValueError), (float("nan"), ValueError),
                         (86400 * 1000 + 1, ValueError), ("5", TypeError), (True, TypeError)]:
        with pytest.raises(error, match="time_limit"):
            lumaqc.analyze_file(short, time_limit=value)
