"""Progress on a terminal: a bar per stage, ours where tqdm is not installed, wiped when its stage
is complete, whatever size the terminal reports; off a terminal a plain line per stage when it
ends; nothing at all when quiet."""

import fcntl
import inspect
import io
import os
import pty
import re
import struct
import subprocess
import sys
import termios
from pathlib import Path

import pytest

from source.cli.detect import command as detect_command
from source.cli.progress import Progress

BENCH = Path(__file__).resolve().parent.parent / "bench" / "data"


@pytest.mark.parametrize("show", [True, False])
def test_without_tqdm_a_terminal_still_sees_each_stage(monkeypatch, show):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as on an install without the extra
    err = io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    progress = Progress(show)
    for done in range(0, 11):
        progress("describing", done, 10)
    with progress.step("writing"):
        pass
    progress.close()
    text = err.getvalue()
    if not show:
        assert text == ""
        return
    assert "describing: 100% [####################] 10/10" in text and "writing:" in text
    assert text.endswith("\r")  # the last line is wiped: the report starts on a clean line
    assert "\n" not in text  # redrawn in place, never a line per update
    assert set(progress.times) == {"describing", "writing"}


STAGES = ["reading and describing", "all pairs", "describing the library", "scoring"]
LINE = re.compile(r"^keltran: (?P<stage>[a-z ]+?)(?: (?P<done>\d+)/(?P<total>\d+))?: \d+\.\d s$")


def sr_bank(folder, rows=200):
    """A bank of real engine output, large enough that its first stages take seconds."""
    with open(BENCH / "sr_bank.csv") as f:
        head = [next(f) for _ in range(rows + 1)]
    (folder / "sr.csv").write_text("".join(head))
    return "sr.csv"


def on_a_terminal(folder, argv, size):
    """What a command run with standard error on a pseudo-terminal of `size` (columns, rows;
    (0, 0) as one never given a size reports) writes there."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", size[1], size[0], 0, 0))
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    proc = subprocess.Popen(
        argv,
        cwd=folder,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=follower,
        env=dict(env, GROQ_API_KEY=""),
    )
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the command closed its end
            break
        if not chunk:
            break
        seen += chunk
    os.close(leader)
    assert proc.wait(timeout=300) == 0, seen[-500:]
    return seen.decode(errors="replace")


# tqdm is blocked in the command's interpreter as where it is not installed.
WITHOUT_TQDM = (
    "import sys; sys.modules['tqdm'] = None; sys.argv = ['keltran', *sys.argv[1:]]\n"
    "from source.cli.entry import command; command()"
)


@pytest.mark.parametrize("size", [(0, 0), (120, 30), (40, 10)], ids=["no size", "wide", "narrow"])
@pytest.mark.parametrize("bars", ["tqdm", "ours"])
def test_a_terminal_sees_a_bar_per_stage_whatever_size_it_reports(tmp_path, size, bars):
    bank = sr_bank(tmp_path)
    if bars == "tqdm":
        pytest.importorskip("tqdm")
        argv = [sys.executable, "-P", "-m", "source", "detect", bank]
    else:
        argv = [sys.executable, "-P", "-c", WITHOUT_TQDM, "detect", bank]
    text = on_a_terminal(tmp_path, argv, size)
    for stage in STAGES:
        assert f"\r{stage}:" in text, (stage, text[-800:])
    assert ("it/s" in text) == (bars == "tqdm")  # tqdm's own bar, or ours
    assert "100%" in text and "\n" not in text  # drawn in place, to the end of each stage
    assert text.endswith("\r") and text.rsplit("\r", 2)[-2].strip() == ""  # and wiped
    columns = size[0] or 80
    assert max(len(part) for part in text.split("\r")) <= columns  # never wraps


def log_of(stream):
    progress = Progress.on(stream, quiet=False)
    for done in range(0, 11):
        progress("describing", done, 10)
    progress("describing", 10, 10)  # a last report made twice ends the stage once
    with progress.step("writing"):
        pass
    for done in (0, 5):  # a stage that begins again ends again
        progress("describing", done, 5)
    progress("describing", 5, 5)
    progress("never ends", 3, 10)
    progress.close()
    return progress


@pytest.mark.parametrize("where", ["file", "pipe"])
def test_off_a_terminal_each_stage_is_one_plain_line_when_it_ends(tmp_path, where, monkeypatch):
    if where == "file":
        stream = open(tmp_path / "log.txt", "w+")
    else:
        read, write = os.pipe()
        stream = open(write, "w")
    monkeypatch.setattr(sys, "stderr", stream)
    progress = log_of(stream)
    stream.close()
    text = (tmp_path / "log.txt").read_text() if where == "file" else os.read(read, 65536).decode()
    assert "\r" not in text and "\x1b" not in text
    lines = text.splitlines()
    assert [LINE.match(line)["stage"] for line in lines] == ["describing", "writing", "describing"]
    assert [LINE.match(line)["done"] for line in lines] == ["10", None, "5"]  # one step: no count
    assert set(progress.times) == {"describing", "writing", "never ends"}


def test_quiet_shows_nothing_anywhere(tmp_path, monkeypatch):
    stream = open(tmp_path / "log.txt", "w+")
    monkeypatch.setattr(sys, "stderr", stream)
    progress = Progress.on(stream, quiet=True)
    for done in range(0, 11):
        progress("describing", done, 10)
    stream.close()
    assert (tmp_path / "log.txt").read_text() == "" and "describing" in progress.times


def test_a_terminal_gets_bars_and_no_lines(monkeypatch):
    leader, follower = pty.openpty()
    stream = open(follower, "w")
    monkeypatch.setattr(sys, "stderr", stream)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    log_of(stream)
    stream.close()
    seen = os.read(leader, 65536).decode()
    os.close(leader)
    assert "\rdescribing:" in seen and "keltran:" not in seen


@pytest.mark.skipif(
    "Progress.on(" not in inspect.getsource(detect_command),
    reason="the detect command builds its progress with Progress.on",
)
@pytest.mark.parametrize("quiet", [False, True])
def test_a_log_file_gets_a_line_per_stage_of_a_real_run(tmp_path, quiet):
    bank = sr_bank(tmp_path, rows=40)
    with open(tmp_path / "run.log", "w") as log:
        out = subprocess.run(
            [sys.executable, "-P", "-m", "source", "detect", bank, *(["--quiet"] if quiet else [])],
            cwd=tmp_path,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=log,
            env=dict(os.environ, GROQ_API_KEY=""),
            timeout=300,
        )
    text = (tmp_path / "run.log").read_text()
    assert out.returncode == 0, text
    assert "\r" not in text and "\x1b" not in text
    stages = [m["stage"] for m in map(LINE.match, text.splitlines()) if m]
    if quiet:
        assert stages == []
        return
    assert [s for s in stages if s in STAGES] == STAGES and len(stages) == len(set(stages))
    assert LINE.match(text.splitlines()[0])["done"] == "40"  # the true total: every row
