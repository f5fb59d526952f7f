#!/usr/bin/python3
"""Runs the examples of README.md and docs/*.md against the built programs.

How blocks are marked (sh run [status=N], text output, sh parse, python run,
toml profile, toml channels) is at the top of docs/architecture.md. Every
`sh` and `toml` block must carry one of these words, every block a language,
every option of `lumaqc --help` be described in docs/cli.md and of
`lumaqc-batch --help` in docs/python.md.
"""

import argparse
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile

BLOCK = re.compile(r"^([ \t]*)```([^\n]*)\n(.*?)^[ \t]*```[ \t]*$", re.M | re.S)


def blocks_of(path):
    """Yields (line number, language, words, text) for each fenced block."""
    text = open(path, encoding="utf-8").read()
    for m in BLOCK.finditer(text):
        indent, words = m.group(1), m.group(2).split()
        body = [line[len(indent):] if line.startswith(indent) else line.lstrip()
                for line in m.group(3).split("\n")[:-1]]
        yield (text.count("\n", 0, m.start()) + 1, words[0] if words else "", words[1:],
               "\n".join(body) + "\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def matches(expected, actual):
    """`expected` lines against `actual` lines, with `...` wildcards."""
    pattern = []
    for line in expected.rstrip("\n").split("\n"):
        if line.strip() == "...":
            pattern.append(r"(?:[^\n]*\n)*?")
        else:
            pattern.append(".*".join(re.escape(p) for p in line.split("...")) + r"[ \t]*\n")
    return re.fullmatch("".join(pattern), actual.rstrip("\n") + "\n", re.DOTALL) is not None


def commands_of(script):
    """The command lines of a shell block: continuations joined, comments and
    prompts dropped."""
    joined = script.replace("\\\n", " ")
    for line in joined.split("\n"):
        line = line.strip()
        if line.startswith("$ "):
            line = line[2:]
        if not line or line.startswith("#"):
            continue
        lexer = shlex.shlex(line, posix=True, punctuation_chars="|;&")
        lexer.whitespace_split = True
        command = []
        for word in list(lexer) + ["|"]:
            if word in ("|", "||", ";", "&", "&&"):
                if command:
                    yield line, command
                command = []
            else:
                command.append(word)


class Runner:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.checked = 0
        self.work = tempfile.mkdtemp(prefix="lumaqc-docs-")
        self.samples = os.path.join(self.work, "samples")
        os.mkdir(self.samples)
        self.env = dict(os.environ)
        bindir = os.path.join(self.work, "bin")
        os.mkdir(bindir)
        for name, target in (("lumaqc", args.lumaqc), ("lumaqc-testcard", args.testcard),
                             ("lumaqc-batch", args.batch)):
            if target and os.path.exists(target):
                os.symlink(os.path.abspath(target), os.path.join(bindir, name))
        self.env["PATH"] = bindir + os.pathsep + self.env.get("PATH", "")
        if args.pythonpath:
            self.env["PYTHONPATH"] = os.path.abspath(args.pythonpath)
        self.env.pop("CI", None)

    def fail(self, where, message):
        self.failures.append(f"{where}: {message}")

    def sh(self, command, cwd, timeout=120):
        return subprocess.run(["sh", "-c", command], cwd=cwd, env=self.env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              errors="replace")

    def make_samples(self):
        """The inputs the examples name, made from the test card."""
        steps = [
            "lumaqc-testcard clip.yuv > /dev/null",
            "ffmpeg -v error -f rawvideo -pix_fmt yuv420p -s 352x288 -r 25 -i clip.yuv clip.y4m",
            "ffmpeg -v error -i clip.y4m -c:v libx264 -crf 18 -g 25 movie.mkv",
            "ffmpeg -v error -i clip.y4m -c:v libx264 -crf 18 -g 25 movie.mp4",
            "ffmpeg -v error -i clip.y4m -c:v mpeg2video -q:v 2 -f mpegts movie.ts",
            "ffmpeg -v error -i clip.y4m -c:v mpeg2video -q:v 2 movie.mxf",
            "mkdir -p archive/2024 && cp movie.mkv archive/2024/a.mkv && "
            "cp movie.ts archive/2024/b.ts && cp movie.mp4 archive/c.mp4",
        ]
        for step in steps:
            result = self.sh(step, self.samples)
            if result.returncode != 0:
                raise SystemExit(f"making the sample inputs failed: {step}\n{result.stdout}")

    def fresh_dir(self, name):
        directory = os.path.join(self.work, name)
        os.mkdir(directory)
        for entry in os.listdir(self.samples):
            os.symlink(os.path.join(self.samples, entry), os.path.join(directory, entry))
        return directory

    def check_toml(self, where, text, kind):
        """A profile (loaded with --print-profile; one with `name = "x"` is
        also saved as x.toml among the samples) or a channels file (checked
        with `lumaqc monitor --check`)."""
        path = os.path.join(self.work, kind + ".toml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        command = "lumaqc --profile {} --print-profile" if kind == "profile" else \
            "lumaqc monitor --check {}"
        result = self.sh(command.format(shlex.quote(path)), self.work)
        if result.returncode != 0:
            self.fail(where, f"the {kind} file is refused:\n{result.stdout}")
            return
        m = re.search(r'^name\s*=\s*"([A-Za-z0-9_-]+)"', text, re.M)
        if kind == "profile" and m:
            shutil.copy(path, os.path.join(self.samples, m.group(1) + ".toml"))

    def check_parse(self, where, script):
        parsers = {"lumaqc": [self.args.parse_command],
                   "lumaqc-batch": [self.args.python, "-c", "import sys; from lumaqc.batch import "
                                    "parse_arguments; parse_arguments(sys.argv[1:])"]}
        for line, words in commands_of(script):
            if words[0] not in parsers:
                continue
            result = subprocess.run(parsers[words[0]] + words[1:], env=self.env, text=True,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            self.checked += 1
            if result.returncode != 0:
                self.fail(where, f"`{line}` is refused:\n{result.stdout}")

    def run_block(self, where, script, status, expected, number, interpreter=("sh", "-eu", "-c")):
        directory = self.fresh_dir(f"run{number}")
        port = str(free_port())
        # Examples name the metrics port 9100; the test gives them a free one.
        script = re.sub(r"\b9100\b", port, script)
        if expected is not None:
            expected = re.sub(r"\b9100\b", port, expected)
        try:
            result = subprocess.run(list(interpreter) + [script], cwd=directory, env=self.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                    errors="replace", timeout=self.args.timeout)
        except subprocess.TimeoutExpired:
            self.fail(where, f"still running after {self.args.timeout} s")
            return
        self.checked += 1
        if result.returncode != status:
            self.fail(where, f"ended with status {result.returncode}, not {status}:\n"
                      f"{result.stdout[-3000:]}")
        elif expected is not None and not matches(expected, result.stdout.replace("\r\n", "\n")):
            self.fail(where, f"printed something else:\n--- expected\n{expected}"
                      f"--- printed\n{result.stdout[-3000:]}")

    def check_options(self, program, guide):
        """Every option of the program's --help is in its guide."""
        result = self.sh(f"{program} --help", self.work)
        text = open(os.path.join(self.args.source, guide), encoding="utf-8").read()
        options = sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", result.stdout)))
        if result.returncode != 0 or not options:
            self.fail(guide, f"`{program} --help` fails or lists no option")
        for option in options:
            self.checked += 1
            if not re.search(re.escape(option) + r"(?![a-z0-9-])", text):
                self.fail(guide, f"{option} of `{program} --help` is not described")

    def run(self, files):
        self.make_samples()
        if not self.args.files:
            self.check_options("lumaqc", "docs/cli.md")
            if self.args.batch:
                self.check_options("lumaqc-batch", "docs/python.md")
        blocks = []
        for path in files:
            name = os.path.relpath(path, self.args.source)
            blocks.extend((f"{name}:{start}", language, words, text)
                          for start, language, words, text in blocks_of(path))
        # Profiles first, so that the commands may name them.
        for where, language, words, text in blocks:
            if language == "toml" and "profile" in words:
                self.checked += 1
                self.check_toml(where, text, "profile")
        number = 0
        for index, (where, language, words, text) in enumerate(blocks):
            if not language:
                self.fail(where, "a block without a language (text, sh, json, ...)")
            elif language in ("sh", "toml") and not {"run", "parse", "profile", "channels"} & set(
                    w.split("=")[0] for w in words):
                self.fail(where, f"a {language} block marked neither run, parse nor profile")
            elif language == "toml" and "channels" in words:
                self.checked += 1
                self.check_toml(where, text, "channels")
            elif language == "sh" and "parse" in words:
                self.check_parse(where, text)
            elif language == "python" and "run" in words:
                number += 1
                self.run_block(where, text, 0, None, number, [self.args.python, "-c"])
            elif language == "sh" and "run" in words:
                status = 0
                for word in words:
                    if word.startswith("status="):
                        status = int(word.split("=", 1)[1])
                expected = None
                if index + 1 < len(blocks) and blocks[index + 1][1] == "text" and \
                        "output" in blocks[index + 1][2]:
                    expected = blocks[index + 1][3]
                number += 1
                self.run_block(where, text, status, expected, number)
            elif "output" in words and not (index > 0 and "run" in blocks[index - 1][2]):
                self.fail(where, "an output block that follows no run block")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--lumaqc", required=True)
    parser.add_argument("--testcard", required=True)
    parser.add_argument("--parse-command", required=True)
    parser.add_argument("--batch")
    parser.add_argument("--pythonpath")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--timeout", type=int, default=120)
    parser.add_argument("files", nargs="*", help="Markdown files (default: README.md, docs/*.md)")
    args = parser.parse_args()
    files = args.files or [os.path.join(args.source, f) for f in ("README.md", "CONTRIBUTING.md")] + sorted(
        os.path.join(args.source, "docs", f) for f in os.listdir(os.path.join(args.source, "docs"))
        if f.endswith(".md"))
    runner = Runner(args)
    try:
        runner.run(files)
    finally:
        shutil.rmtree(runner.work, ignore_errors=True)
    for failure in runner.failures:
        print(failure, file=sys.stderr)
    print(f"{runner.checked} examples checked in {len(files)} files, "
          f"{len(runner.failures)} failing")
    return 1 if runner.failures else 0


if __name__ == "__main__":
    sys.exit(main())
