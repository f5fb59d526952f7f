"""Shared pieces of the Python package's tests (run by ctest with /usr/bin/python3 -m pytest).

ctest sets PYTHONPATH to the package in the build tree, LUMAQC_BIN and
LUMAQC_TESTCARD_BIN to the programs, LUMAQC_BATCH to the lumaqc-batch script.
"""
import json
import os
import re
import resource
import shutil
import socket
import subprocess

import pytest


def program(name):
    path = os.environ.get(name)
    if not path or not os.path.exists(path):
        pytest.skip(f"{name} not set")
    return path


def run_lumaqc(*args, cwd, report=False):
    """The program's JSON document for these arguments (and with report=True
    its HTML report; None for one it did not write), and its completed process."""
    outputs = [os.path.join(cwd, "program.json")] + ([os.path.join(cwd, "program.html")]
                                                     if report else [])
    options = ["--json", outputs[0]] + (["--report", outputs[1]] if report else [])
    done = subprocess.run([program("LUMAQC_BIN"), *map(str, args), *options, "--quiet",
                           "--no-log"], cwd=cwd, capture_output=True, text=True, timeout=120)
    data = []
    for out in outputs:
        if not os.path.exists(out):
            data.append(None)
            continue
        with open(out, "rb") as file:
            # Without the record of the run (times, command line), which the
            # library's documents leave out.
            data.append(re.sub(rb'\n"run": [^\n]*|<tbody id="lumaqc-run">.*?</tbody>\n', b"",
                               file.read(), flags=re.S))
        os.unlink(out)
    return (*data, done)


def ffmpeg(*args, timeout=120):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *map(str, args)],
                   check=True, timeout=timeout)


def make_clip(path, size="160x120", frames=20, codec=("-c:v", "libx264", "-preset", "ultrafast")):
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25", "-frames:v", frames,
           "-pix_fmt", "yuv420p", *codec, path)
    return str(path)


@pytest.fixture(scope="session")
def testcard(tmp_path_factory):
    """The test card (352x288 raw 4:2:0) and the program's log of it."""
    folder = tmp_path_factory.mktemp("card")
    card = folder / "card.yuv"
    subprocess.run([program("LUMAQC_TESTCARD_BIN"), card], check=True, capture_output=True,
                   timeout=60)
    subprocess.run([program("LUMAQC_BIN"), card, "352", "288", "--quiet"], cwd=folder, check=True,
                   capture_output=True, timeout=120)
    return card, folder / "metricsResultsCSV.csv"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def batch(*args, cwd=None, background=False, file_limit=None):
    """lumaqc-batch as a user runs it: its completed process, or the running one.
    With `file_limit` its files (and its workers') are limited to that many
    bytes, as on a disk that fills: writes past it fail with EFBIG."""
    command = [program("LUMAQC_BATCH"), *map(os.fsdecode, args)]
    if background:
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                cwd=cwd)
    limit = None if file_limit is None else lambda: resource.setrlimit(
        resource.RLIMIT_FSIZE, (file_limit, file_limit))
    return subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd,
                          preexec_fn=limit)


def load(path):
    with open(path, encoding="utf-8") as file:
        return json.load(file)
