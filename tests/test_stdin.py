"""A bank piped to standard input is read without `-`; an empty pipe, /dev/null, a terminal or an
idle pipe held open run the bundled bank, and none of them hangs the run."""

import io
import os
import subprocess
import sys
import threading
import time

import pytest

from source.cli import stdin

BANK = "m*v**2/2\nk*x**2/2\nq*E**2/2\nsin(w*t)\n"
PIPED = "KELTRAN: 4 formulas ("  # the four piped, under the label standard input is given
BUNDLED = "formulas (bundled Feynman bank)"


def detect(folder, *args, stdin_source):
    started = time.monotonic()
    proc = subprocess.Popen(
        [sys.executable, "-P", "-m", "source", "detect", "--quiet", *args],
        cwd=folder,
        stdin=stdin_source,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, GROQ_API_KEY=""),
    )
    return proc, started


@pytest.mark.parametrize(
    "given, args, header, warned",
    [
        ("pipe", [], PIPED, False),
        ("empty pipe", [], BUNDLED, False),
        ("file", [], PIPED, False),
        ("empty file", [], BUNDLED, False),
        ("/dev/null", [], BUNDLED, False),
        ("pipe", ["bank.txt"], "KELTRAN: 2 formulas (bank.txt)", False),  # the files win
        ("idle pipe", [], BUNDLED, True),
    ],
)
def test_standard_input_is_the_bank_only_when_it_holds_one(tmp_path, given, args, header, warned):
    (tmp_path / "bank.txt").write_text("m*g*h\nm*a\n")
    (tmp_path / "piped.txt").write_text(BANK)
    (tmp_path / "empty.txt").write_text("")
    held = None
    if given in ("pipe", "empty pipe"):
        source = subprocess.PIPE
    elif given == "idle pipe":
        source, held = os.pipe()  # the writing end stays open and silent until the run is over
    elif given == "/dev/null":
        source = subprocess.DEVNULL
    else:
        source = open(tmp_path / ("piped.txt" if given == "file" else "empty.txt"))
    try:
        proc, started = detect(tmp_path, *args, stdin_source=source)
        if given == "idle pipe":
            os.close(source)
        out, err = proc.communicate(input={"pipe": BANK, "empty pipe": ""}.get(given), timeout=120)
        elapsed = time.monotonic() - started
    finally:
        if held is not None:
            os.close(held)
        if not isinstance(source, int):
            source.close()
    assert proc.returncode == 0, err
    first = out.splitlines()[0]
    assert header in first and (BUNDLED in first) == (header == BUNDLED), out[:200]
    assert ("gave nothing within" in err) == warned, err
    assert "Traceback" not in err
    if warned:
        assert elapsed < 60  # the idle pipe cost its wait, not the run


@pytest.fixture
def pipe(monkeypatch):
    """Standard input replaced by a fresh pipe: (its writing end, descriptor)."""
    read, write = os.pipe()
    reader = open(read, "r", encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", reader)
    yield write
    try:
        os.close(write)  # first: a read still blocked on the pipe ends, and lets go of the reader
    except OSError:
        pass
    reader.close()


def test_a_late_but_prompt_writer_is_read_and_not_a_byte_is_lost(pipe):
    data = "".join(f"a{k}*x**2/2\n" for k in range(40_000)).encode()  # more than a pipe holds

    def write_late():
        time.sleep(0.3)  # within the wait
        with open(pipe, "wb", closefd=True) as f:
            f.write(data)

    writer = threading.Thread(target=write_late)
    writer.start()
    assert bounded(lambda: stdin.bank_paths([]), 10) == ["-"]
    assert sys.stdin.buffer.read() == data  # what the bank reader reads: everything, in order
    writer.join()


def bounded(call, limit):
    """`call()`'s value, run on a thread given `limit` seconds: a wait that never ends fails the
    test instead of hanging the suite."""
    result = []
    worker = threading.Thread(target=lambda: result.append(call()), daemon=True)
    worker.start()
    worker.join(limit)
    assert result, f"still waiting after {limit} s"
    return result[0]


def test_an_idle_pipe_costs_the_wait_and_no_more(pipe, capsys):
    started = time.monotonic()
    assert bounded(lambda: stdin.bank_paths([]), stdin.WAIT + 5) == []
    elapsed = time.monotonic() - started
    assert stdin.WAIT - 0.05 <= elapsed < stdin.WAIT + 1.0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "bundled Feynman bank" in err and "give -" in err


def test_a_pipe_closed_empty_is_no_bank_and_says_nothing(pipe, capsys):
    os.close(pipe)
    started = time.monotonic()
    assert bounded(lambda: stdin.bank_paths([]), 5) == []
    assert time.monotonic() - started < stdin.WAIT / 2  # the end of the pipe answers at once
    assert capsys.readouterr().err == ""


def test_given_files_never_wait_for_standard_input(pipe):
    started = time.monotonic()
    assert bounded(lambda: stdin.bank_paths(["a.csv", "-"]), 5) == ["a.csv", "-"]
    assert time.monotonic() - started < stdin.WAIT / 2


@pytest.mark.parametrize(
    "stream",
    [None, io.StringIO(BANK), io.TextIOWrapper(io.BytesIO(BANK.encode()))],
    ids=["none", "text", "bytes"],
)
def test_standard_input_that_is_no_file_is_never_the_bank(monkeypatch, stream):
    monkeypatch.setattr(sys, "stdin", stream)
    assert stdin.bank_paths([]) == []
