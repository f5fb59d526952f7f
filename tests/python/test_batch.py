"""lumaqc-batch on generated archives: local workers (one killed mid-batch), a
real scheduler with two workers (one killed mid-batch), an interrupted batch
resumed, reruns, files that hang."""
import csv
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import batch, ffmpeg, free_port, load, make_clip, program, run_lumaqc

lumaqc = pytest.importorskip("lumaqc", reason="the Python module was not built")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # tornado, in Client


def catalog(outdir):
    with open(os.path.join(outdir, "catalog.csv"), newline="", encoding="utf-8") as file:
        text = file.read()
    assert text.count("\r\n") == text.count("\n")  # RFC 4180 line ends
    return {os.path.relpath(row["path"], outdir.parent / "clips") if "clips" in row["path"]
            else row["path"]: row for row in csv.DictReader(text.splitlines())}


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """clips/: two clips, one with a black stretch, a corrupt one, a text file, a
    raw .yuv without its size, an empty .mov and text named .mp4."""
    root = tmp_path_factory.mktemp("archive")
    clips = root / "clips"
    (clips / "sub").mkdir(parents=True)
    make_clip(clips / "a.y4m", frames=12, codec=())
    make_clip(clips / "sub" / "b.mp4", frames=16)
    (clips / "sub" / "bad.mp4").write_bytes((clips / "sub" / "b.mp4").read_bytes()[:4000])
    (clips / "notes.txt").write_text("not a video\n")
    (clips / "empty.mov").write_bytes(b"")
    (clips / "text.mp4").write_text("not a video either\n")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", 80, "-vf",
           "drawbox=c=black:t=fill:enable='between(n,10,69)'", "-pix_fmt", "yuv420p",
           clips / "black.mp4")
    (clips / "raw.yuv").write_bytes(bytes(160 * 120 * 3 // 2 * 2))
    return root


@pytest.fixture(scope="module")
def long_clips(tmp_path_factory):
    """clips/: eight names for one clip that takes each task about a second."""
    root = tmp_path_factory.mktemp("long")
    (root / "clips").mkdir()
    first = make_clip(root / "clips" / "c0.mp4", size="960x540", frames=200)
    for n in range(1, 8):
        os.link(first, root / "clips" / f"c{n}.mp4")
    (root / "clips" / "bad.mp4").write_bytes(b"\0\0\0\x20ftypisom" + bytes(3000))
    return root


def test_batch_on_the_local_cluster_then_a_rerun_that_skips_everything(archive):
    out = archive / "out"
    refused = batch(archive / "clips", "-o", out, "--profile", archive / "none.toml")
    assert refused.returncode == 2 and "cannot read the profile" in refused.stderr
    done = batch(archive / "clips", "-o", out, "--report", "--profile", "default")
    assert done.returncode == 1, done.stderr  # the corrupt file
    assert "1 raw .yuv file(s) skipped" in done.stderr
    assert "1 file(s) in the directories are not video" in done.stderr
    rows = catalog(out)
    # Every input has a row but notes.txt: status, reason, first error, durations.
    table = {"a.y4m": ("ok", "", "", "", "", "0.48"), "sub/b.mp4": ("ok", "", "", "", "0.64", "0.64"),
             "black.mp4": ("ok", "", "black", "00:00:00:10", "3.2", "3.2"),
             "sub/bad.mp4": ("error", "Cannot read ", "", "", "", ""),
             "raw.yuv": ("skipped", "raw video: give its picture size", "", "", "", ""),
             "empty.mov": ("unsupported", "", "", "", "", ""),
             "text.mp4": ("unsupported", "", "", "", "", "")}
    assert sorted(rows) == sorted(table)
    for name, (status, reason, *columns) in table.items():
        row = rows[name]
        assert [row[field] for field in ("status", "first_error_type", "first_error_timecode",
                                         "declared_duration", "analysed_duration")] == \
            [status, *columns], row
        assert row["reason"].startswith(reason) and bool(row["reason"]) == (status != "ok"), row
    fields = list(rows["a.y4m"])  # the new columns after the 63 there were
    assert len(fields) == 68 and fields[-5:] == ["reason", "first_error_type",
                                                 "first_error_timecode", "declared_duration",
                                                 "analysed_duration"]
    assert rows["sub/bad.mp4"]["error"].startswith("Cannot read ")
    assert rows["sub/b.mp4"]["codec"] == "h264" and rows["a.y4m"]["codec"] == "rawvideo"
    for name, frames in [("a.y4m", 12), ("sub/b.mp4", 16)]:
        row = rows[name]
        assert row["frames"] == str(frames), row
        assert (row["width"], row["height"], row["fps"]) == ("160", "120", "25.0")
        assert row["tool_version"] == lumaqc.__version__ and len(row["hash"]) == 64
        # The program's document and report, byte for byte, and its statistics in the catalogue.
        program, page, _ = run_lumaqc(row["path"], "--profile", "default", cwd=archive,
                                      report=True)
        assert (out / (name + ".json")).read_bytes() == program
        assert (out / (name + ".html")).read_bytes() == page
        verdict = json.loads(program)["verdict"]
        assert (row["verdict"], row["error_events"], row["warning_events"]) == \
            (verdict["result"], str(verdict["errors"]), str(verdict["warnings"]))
        stats = json.loads(program)["summary"]["stats"]
        for key in lumaqc.keys:
            for stat in ("mean", "p5", "p95"):
                expected = stats[key][stat]
                assert row[f"{key}_{stat}"] == ("" if expected is None else repr(expected))
    assert not list(out.rglob("*.part"))

    again = batch(archive / "clips", "-o", out, "--report", "--profile", "default")
    assert again.returncode == 1
    assert "reused the results of 6 of 6 files" in again.stderr
    # The raw file apart, as the catalogue's "skipped" row.
    assert again.stderr.endswith(": 0 analysed, 6 reused, 4 with errors or failing; "
                                 "1 raw .yuv skipped without --size\n")
    assert catalog(out) == rows

    # Other options are other results; --subsample thins the statistics only.
    thin = batch(archive / "clips" / "a.y4m", "-o", out, "--subsample", "4")
    assert thin.returncode == 0 and "1 analysed, 0 reused" in thin.stderr
    row = catalog(out)["a.y4m"]
    values = lumaqc.analyze_file(str(archive / "clips" / "a.y4m")).values["contrast"]
    assert float(row["contrast_p95"]) == max(values[::4])
    assert row["frames"] == "12"


@pytest.fixture
def dask_cluster(tmp_path):
    """A `dask scheduler` and two `dask worker`s on 127.0.0.1, and a client of it."""
    from distributed import Client

    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    cli = [sys.executable, "-m"]
    common = dict(cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    processes = [subprocess.Popen(cli + ["distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                         "--port", str(port), "--no-dashboard"], **common)]
    for n in range(2):
        processes.append(subprocess.Popen(
            cli + ["distributed.cli.dask_worker", address, "--host", "127.0.0.1", "--nthreads",
                   "1", "--no-nanny", "--no-dashboard", "--death-timeout", "60",
                   "--local-directory", str(tmp_path / f"w{n}")], **common))
    client = None
    try:
        client = Client(address, timeout=30)
        client.wait_for_workers(2, timeout=60)
        yield address, client, processes[1:]
    finally:
        if client is not None:
            client.close(timeout=10)
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)


def test_batch_on_a_scheduler_with_two_workers_one_killed(long_clips, dask_cluster):
    address, client, workers = dask_cluster
    out = long_clips / "out-cluster"
    running = batch(long_clips / "clips", "-o", out, "--scheduler", address, background=True)
    try:
        # Kill a worker while it runs a task of the batch.
        pids = client.run(os.getpid)
        deadline = time.monotonic() + 60
        victim = None
        while victim is None and time.monotonic() < deadline and running.poll() is None:
            busy = [w for w, keys in client.processing().items() if keys]
            victim = busy[0] if busy else None
            time.sleep(0.05)
        assert victim is not None, "no task reached a worker"
        os.kill(pids[victim], signal.SIGKILL)
        stdout, stderr = running.communicate(timeout=180)
    finally:
        if running.poll() is None:
            running.kill()
    assert running.returncode == 1, stderr
    rows = catalog(out)
    assert sorted(rows) == ["bad.mp4"] + [f"c{n}.mp4" for n in range(8)]  # each file once
    assert rows.pop("bad.mp4")["status"] == "error"
    assert {row["status"] for row in rows.values()} == {"ok"}
    assert len({row["contrast_mean"] for row in rows.values()}) == 1
    assert len(client.scheduler_info()["workers"]) == 1
    assert all(load(out / f"c{n}.mp4.json")["complete"] for n in range(8))
    assert not list(out.rglob(".*.part"))


def test_batch_interrupted_then_resumed(long_clips):
    """A local worker killed mid-task (its file is tried again), SIGINT, a rerun."""
    out = long_clips / "out-interrupted"
    running = batch(long_clips / "clips", "-o", out, "--workers", "2", background=True)
    workers = lambda: open(f"/proc/{running.pid}/task/{running.pid}/children").read().split()

    def wait_for(ready, deadline=time.monotonic() + 120):
        while not ready() and time.monotonic() < deadline:
            assert running.poll() is None, running.communicate()
            time.sleep(0.05)
        assert ready()

    try:
        wait_for(lambda: list(out.glob("c*.mp4.json")))
        victim = workers()[0]
        os.kill(int(victim), signal.SIGKILL)
        wait_for(lambda: victim not in workers() and len(workers()) == 2)
        running.send_signal(signal.SIGINT)
        _, stderr = running.communicate(timeout=120)
    finally:
        if running.poll() is None:
            running.kill()
    assert running.returncode == 130, stderr
    assert "stopped by SIGINT" in stderr
    finished = catalog(out)
    assert 1 <= len(finished) < 9
    for name, row in finished.items():  # what the catalogue has is whole
        assert row["status"] == ("error" if name == "bad.mp4" else "ok"), row
        assert name == "bad.mp4" or load(out / (name + ".json"))["complete"]
    assert not list(out.glob(".*.part"))

    resumed = batch(long_clips / "clips", "-o", out, "--workers", "2")
    assert resumed.returncode == 1, resumed.stderr
    assert f"reused the results of {len(finished)} of 9 files" in resumed.stderr
    assert sorted(catalog(out)) == ["bad.mp4"] + [f"c{n}.mp4" for n in range(8)]


def test_batch_on_odd_names_and_a_full_disk(tmp_path):
    # Names that are not UTF-8, that a spreadsheet takes for formulas, and a
    # clip whose document does not fit on the "disk".
    clips = tmp_path / "clips"
    clips.mkdir()
    odd = os.path.join(os.fsencode(clips), b"\xff\xfe odd.y4m")
    formulas = ["=HYPERLINK(1).y4m", "+SUM(1+1).y4m", "@cmd.y4m", "-x.y4m", "'quote.y4m"]
    make_clip(os.fsdecode(odd), frames=1, codec=())
    for name in formulas + [f"plain{n}.y4m" for n in range(4)]:
        (clips / name).write_bytes(open(odd, "rb").read())
    make_clip(clips / "long.y4m", frames=60, codec=())
    lumaqc.analyze_file(clips / "plain0.y4m", json=tmp_path / "one.json")
    small = (tmp_path / "one.json").stat().st_size
    limit = small + 2048  # every one-frame document fits, the long one and the catalogue not
    out = tmp_path / "out"

    full = batch(clips, "-o", out, "--workers", "1", file_limit=limit)
    assert full.returncode == 1, full.stderr
    assert "Traceback" not in full.stderr
    assert "lumaqc-batch: cannot write the catalogue " in full.stderr
    assert ": File too large; 11 files analysed" in full.stderr
    assert not (out / "catalog.csv").exists() and not list(out.rglob("*.part"))
    assert not (out / "long.y4m.json").exists()
    written = sorted(os.listdir(os.fsencode(out)))
    assert len([n for n in written if n.endswith(b".y4m.json")]) == 10
    for name in written:  # every result that exists is whole
        assert not name.endswith(b".json") or load(os.path.join(os.fsencode(out), name))["complete"]

    alone = batch(clips / "long.y4m", "-o", tmp_path / "alone", "--workers", "1",
                  file_limit=limit)
    assert alone.returncode == 1 and "Traceback" not in alone.stderr, alone.stderr
    [row] = csv.DictReader((tmp_path / "alone" / "catalog.csv").read_text().splitlines())
    assert row["status"] == "error" and row["result"] == "", row
    assert row["error"].startswith("lumaqc-batch: cannot write the result "), row
    assert row["error"].endswith("long.y4m.json: File too large"), row
    assert not list((tmp_path / "alone").rglob("*.json*"))

    done = batch(clips, "-o", out, "--workers", "1")
    assert done.returncode == 0, done.stderr
    text = (out / "catalog.csv").read_bytes().decode("utf-8", "surrogateescape")
    rows = {row["path"]: row for row in csv.DictReader(text.splitlines())}
    assert len(rows) == 11 and all(row["status"] == "ok" for row in rows.values())
    # Cells a spreadsheet would take for a formula begin with a quote; read_catalog takes it off.
    for name in formulas:
        assert rows[str(clips / name)]["result"] == "'" + name + ".json"
    assert rows[os.fsdecode(odd)]["result"] == os.fsdecode(b"\xff\xfe odd.y4m.json")
    from lumaqc import batch as module
    again = module.read_catalog(str(out / "catalog.csv"))
    assert sorted(again) == sorted(str(clips / n) for n in os.listdir(clips))
    assert {again[str(clips / n)]["result"] for n in formulas} == {n + ".json" for n in formulas}
    document = load(out / os.fsdecode(b"\xff\xfe odd.y4m.json"))
    assert document["input"]["path"] == os.fsdecode(odd).replace(
        os.fsdecode(b"\xff\xfe"), "\\xff\\xfe")


def test_batch_gives_pipes_devices_and_broken_links_a_row_without_reading_them(tmp_path):
    # Opening a named pipe waits for a writer: the batch never reads one, found or named.
    clips = tmp_path / "clips"
    clips.mkdir()
    make_clip(clips / "a.y4m", frames=2, codec=())
    os.mkfifo(clips / "pipe.mp4")
    os.mkfifo(clips / "pipe")
    (clips / "gone.mkv").symlink_to(tmp_path / "nowhere.mkv")
    (clips / "gone").symlink_to(tmp_path / "nowhere")
    os.mkfifo(tmp_path / "feed.ts")
    out = tmp_path / "out"
    for run in range(2):  # a rerun does not hash them either
        done = batch(clips, os.devnull, tmp_path / "feed.ts", "-o", out)
        assert done.returncode == 1, done.stderr
        assert "2 file(s) in the directories are not video" in done.stderr
        rows = {os.path.basename(row["path"]): row for row in
                csv.DictReader((out / "catalog.csv").read_text().splitlines())}
        table = {"a.y4m": ("ok", ""),
                 "pipe.mp4": ("unsupported", f"{clips / 'pipe.mp4'} is a named pipe, not a file"),
                 "gone.mkv": ("error", f"Error opening the file {clips / 'gone.mkv'}: "
                                       "No such file or directory"),
                 "null": ("unsupported", f"{os.devnull} is a character device, not a file"),
                 "feed.ts": ("unsupported", f"{tmp_path / 'feed.ts'} is a named pipe, not a file")}
        assert {name: (row["status"], row["reason"]) for name, row in rows.items()} == table


def test_batch_takes_the_programs_options_for_each_file(tmp_path, capsys):
    """Every option of `lumaqc --help`: one that shapes the analysis of a file
    is taken (and refused with the program's words), the others refused; the
    batch's own options are refused past their range."""
    from lumaqc import batch as module
    bin_ = program("LUMAQC_BIN")
    help_ = subprocess.run([bin_, "--help"], capture_output=True, text=True, timeout=60).stdout
    named = set(re.findall(r"^  (--[a-z-]+)", help_, flags=re.M)) - {"--help", "--version"}
    profile = ["--profile", "default"]
    # option: (a value taken, as analyze_file gets it; a value refused, or None)
    taken = {"--fps": ("30", 30.0, "fast"), "--frames": ("5", 5, "5x"),
             "--start": ("2", 2, "-2"), "--pix-fmt": ("gray", "gray", "yuv420p11le"),
             "--threads": ("0", 0, "2000"), "--profile": ("default", "default", None),
             "--fail-on": ("warning", "warning", "never"), "--ignore-head": ("2", "2", "soon"),
             "--ignore-tail": ("00:00:01:00", "00:00:01:00", "1:2")}
    for option in sorted(named):
        words = ["clips", "-o", str(tmp_path), *([] if option == "--profile" else profile)]
        if option == "--report":  # the batch's own: each file's report beside its document
            assert module.parse_arguments(words + [option]).report
            continue
        if option not in taken:
            with pytest.raises(SystemExit) as refused:
                module.parse_arguments(words + [option, "x"])
            line = capsys.readouterr().err.splitlines()[-1]
            assert refused.value.code == 2 and line.startswith(f"lumaqc-batch: error: {option} ")
            continue
        text, value, wrong = taken[option]
        args = module.parse_arguments(words + [option, text])
        keyword = option[2:].replace("-", "_")
        got = {"profile": args.profile, "threads": args.threads_per_task}.get(keyword)
        assert (args.analysis.get(keyword) if got is None else got) == value, option
        if wrong is None:
            continue
        done = subprocess.run([bin_, "clip.yuv", "352", "288", *words[3:], option, wrong],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        with pytest.raises(SystemExit) as refused:
            module.parse_arguments(words + [option, wrong])
        line = capsys.readouterr().err.splitlines()[-1]
        assert (refused.value.code, line) == (
            2, "lumaqc-batch: error: " + done.stderr.strip().removeprefix("lumaqc: ")), option

    cases = [
        (["--threads-per-task", "2000"], "--threads-per-task: 2000 is out of range, must be 1 to 1024"),
        (["--workers", "100000"], "--workers: 100000 is out of range, must be 1 to 4096"),
        (["--subsample", "0"], "--subsample: '0' is not a positive whole number"),
        (["--timeout", "inf"], "--timeout: 'inf' is out of range: give seconds from more than 0"),
        (["--timeout", "-1"], "--timeout: '-1' is out of range"),
        (["--file-timeout", "0"], "--file-timeout: '0' is out of range: give seconds from more "
                                  "than 0 to 604800 (a week)"),
        (["--file-timeout", "nan"], "--file-timeout: 'nan' is out of range"),
        (["--file-timeout", "-5"], "--file-timeout: '-5' is out of range"),
        (["--file-timeout", "soon"], "--file-timeout: 'soon' is out of range"),
        (["--file-timeout", "604801"], "--file-timeout: '604801' is out of range"),
    ]
    for options, message in cases:
        with pytest.raises(SystemExit) as refused:
            module.parse_arguments(["clips", "-o", "out", *options])
        assert refused.value.code == 2
        assert message in capsys.readouterr().err, options


def test_a_file_that_hangs_is_stopped_by_the_local_pool_and_its_rerun(tmp_path, monkeypatch,
                                                                       capsys):
    """The batch's main() in this process, with analyze_file blocking on one
    file as a stuck decoder would; the forked workers inherit the patch."""
    from lumaqc import batch as module
    clips, out = tmp_path / "clips", tmp_path / "out"
    clips.mkdir()
    for name in ("a.y4m", "b.y4m", "hang.y4m"):
        make_clip(clips / name, frames=2, codec=())
    out.mkdir()
    (out / "hang.y4m.json").write_bytes(b"an earlier result")
    calls, fixed = tmp_path / "calls", tmp_path / "fixed"
    real = lumaqc.analyze_file

    def analyze_file(path, *args, **kwargs):
        with open(calls, "a") as file:
            file.write(os.path.basename(path) + "\n")
        if os.path.basename(path) == "hang.y4m" and not fixed.exists():
            open(kwargs["json"], "w").close()  # the document begun, never finished
            time.sleep(120)  # killed long before, unless the limit is not kept
        return real(path, *args, **kwargs)

    monkeypatch.setattr(lumaqc, "analyze_file", analyze_file)
    handlers = {signo: signal.getsignal(signo) for signo in (signal.SIGINT, signal.SIGTERM)}

    def run(*options):
        try:
            status = module.main([str(clips), "-o", str(out), "--workers", "2", *options])
        finally:
            for signo, handler in handlers.items():
                signal.signal(signo, handler)
        return status, capsys.readouterr().err, catalog(out)

    status, err, rows = run("--file-timeout", "3")
    assert status == 1, err
    assert "3 analysed, 0 reused, 1 with errors or failing" in err
    assert err.endswith("; 1 stopped after 3 s (--file-timeout)\n")
    assert [rows[n]["status"] for n in ("a.y4m", "b.y4m", "hang.y4m")] == ["ok", "ok", "error"]
    hung = rows["hang.y4m"]
    message = f"analysis of {clips / 'hang.y4m'} stopped after 3 s (--file-timeout)"
    assert (hung["error"], hung["reason"], hung["options"], hung["result"]) == \
        (message, message, "subsample=1;file_timeout=3", "")
    assert hung["size"] and len(hung["hash"]) == 64  # what a rerun compares
    assert (out / "hang.y4m.json").read_bytes() == b"an earlier result"
    assert not list(out.rglob("*.part"))
    assert sorted(calls.read_text().split()) == ["a.y4m", "b.y4m", "hang.y4m"]  # tried once

    # The same or a lower limit keeps the row; a higher one or none tries it again.
    for options, reused in [(["--file-timeout", "3"], 3), (["--file-timeout", "2.5"], 3),
                            ([], 2)]:
        fixed.touch()
        calls.unlink(missing_ok=True)
        status, err, again = run(*options)
        assert f"reused the results of {reused} of 3 files" in err, options
        assert (status, calls.exists()) == ((1, False) if reused == 3 else (0, True)), err
    assert calls.read_text() == "hang.y4m\n"
    assert {row["status"] for row in again.values()} == {"ok"}
    assert again["hang.y4m"]["options"] == "subsample=1"
    assert load(out / "hang.y4m.json")["complete"]


def test_a_file_that_runs_too_long_on_dask_is_stopped_between_frames(tmp_path, dask_cluster):
    address, _, _ = dask_cluster
    clips = tmp_path / "clips"
    clips.mkdir()
    with open(clips / "long.yuv", "wb") as file:  # 20000 black frames, a sparse file
        file.truncate(1920 * 1080 * 3 // 2 * 20000)
    out = tmp_path / "out"
    done = batch(clips, "-o", out, "--size", "1920x1080", "--scheduler", address,
                 "--file-timeout", "0.2")
    assert done.returncode == 1, done.stderr
    assert done.stderr.endswith("; 1 stopped after 0.2 s (--file-timeout)\n"), done.stderr
    row = catalog(out)["long.yuv"]
    assert (row["status"], row["error"], row["options"]) == (
        "error", f"analysis of {clips / 'long.yuv'} stopped after 0.2 s (--file-timeout)",
        "subsample=1;size=1920x1080;file_timeout=0.2")
    assert not [p for p in os.listdir(out) if ".json" in p or p.endswith(".part")]



def test_progress_is_drawn_on_a_terminal_only(monkeypatch):
    # The progress line goes to the error stream when it is a terminal
    # (looked up when the batch starts), never to a file or a pipe.
    import io

    from lumaqc import batch as module

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, drawn in ((Terminal(), True), (io.StringIO(), False)):
        monkeypatch.setattr(sys, "stderr", stream)
        progress = module.Progress(2)
        progress.draw(1, 0, force=True)
        progress.clear()
        assert ("1/2 files, 0 failed" in stream.getvalue()) == drawn, stream.getvalue()
