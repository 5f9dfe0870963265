"""The command line as a scientist uses it: ids that never collide or vanish, an account of
every formula, one way of reading formulas, clear errors, the usual conventions."""

import fcntl
import json
import os
import re
import pty
import struct
import subprocess
import sys
import termios
import time

import pytest
from test_cli import run

HOF = [
    "Complexity,Loss,Equation",
    "3,0.5,x0*x1",
    '5,0.1,"pow(x0, 2)*x1"',
    "7,0.01,safe_log(x0)*x1 + 1",
]


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "run1.csv").write_text("\n".join(HOF) + "\n")
    (tmp_path / "run2.csv").write_text("\n".join(HOF).replace("x0", "y0") + "\n")
    (tmp_path / "bank.txt").write_text("m*v**2/2\nk*x**2/2\nq*E**2/2\nsin(w*t)\n")
    return tmp_path


def test_hall_of_fame_ids_carry_their_file_and_several_files_are_one_bank(folder):
    out = run(folder, "detect", "run1.csv", "run2.csv", "bank.txt", "--json", "out.json", "--quiet")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("KELTRAN: 10 formulas (run1.csv, run2.csv, bank.txt)")
    doc = json.loads((folder / "out.json").read_text())
    ids = [m["id"] for c in doc["candidates"] for m in c["members"]] + [
        x["id"] for x in doc["left_out"]
    ]
    assert len(ids) == len(set(ids)) == 10
    assert {"run1.csv:complexity=3", "run2.csv:complexity=3", "bank.txt:line1"} <= set(ids)


def test_library_ids_used_twice_are_an_error_or_numbered(folder):
    (folder / "laws.csv").write_text("id,formula\nkinetic,m*v**2/2\nforce,m*a\nkinetic,k*x**2/2\n")
    out = run(folder, "detect", "bank.txt", "--library", "laws.csv")
    assert out.returncode == 1
    assert (
        "laws.csv:4: the id 'kinetic' is used again (first at" in out.stderr
        and "laws.csv:2" in out.stderr
    )
    out = run(folder, "detect", "bank.txt", "--library", "laws.csv", "--unique-ids", "--quiet")
    assert out.returncode == 0 and "against 3 library entries" in out.stdout
    # Two hall-of-fame runs as one library: every formula stays an entry.
    out = run(
        folder, "detect", "bank.txt", "--library", "run1.csv", "--library", "run2.csv", "--quiet"
    )
    assert out.returncode == 0 and "against 6 library entries" in out.stdout


def test_joined_files_and_standard_input(folder):
    (folder / "joined.csv").write_text(
        "\n".join(HOF + HOF) + "\n"
    )  # as `cat run1.csv run2.csv` makes
    out = run(folder, "detect", "joined.csv")
    assert out.returncode == 1 and "joined.csv:5: a repeated header row" in out.stderr
    text = (folder / "bank.txt").read_text()
    out = subprocess.run(
        [sys.executable, "-P", "-m", "source", "detect", "-", "--quiet"],
        cwd=folder,
        input=text,
        capture_output=True,
        text=True,
        env=dict(os.environ, GROQ_API_KEY=""),
        timeout=300,
    )
    assert out.returncode == 0 and out.stdout.startswith("KELTRAN: 4 formulas (standard input)"), (
        out.stderr
    )


def test_every_formula_is_accounted_for(folder):
    out = run(folder, "detect", "bank.txt", "run1.csv", "--json", "out.json")
    assert out.returncode == 0, out.stderr
    doc = json.loads((folder / "out.json").read_text())
    counts = doc["counts"]
    members = sum(len(c["members"]) for c in doc["candidates"])
    assert counts["bank"] == 7 == members + len(doc["left_out"])
    assert counts["in_structures"] == members and counts["left_out"] == len(doc["left_out"])
    assert all(x["reason"] for x in doc["left_out"])
    # the short report counts them by reason; the full one names each
    section = out.stdout.split("Left out of every structure")[1].split("\n\n")[0]
    assert sum(int(n) for n in re.findall(r"^ +(\d+)  ", section, re.M)) == len(doc["left_out"])
    full = run(folder, "detect", "bank.txt", "run1.csv", "--full")
    assert "=== Every formula ===" in full.stdout and "bank formulas      : 7" in full.stdout
    for x in doc["left_out"]:
        assert f"{x['id']}: " in full.stdout  # the left-out list names each one


@pytest.mark.parametrize(
    "formula, shows",
    [
        ("I**2*R", "Op(I, R) = I**2*R"),  # I is a variable, not the imaginary unit
        ("exp(-E/(k*T))", "= exp(-E/(T*k))"),  # E is a variable, not Euler's number
        ("A*exp(-gamma*t)*cos(omega*t)", "Op(A, gamma, omega, t)"),  # gamma too
        ("F = m*a", "Op(a, m) = a*m"),
    ],
)
def test_concept_reads_formulas_as_detect_does(tmp_path, formula, shows):
    out = run(tmp_path, "concept", formula)
    assert out.returncode == 0, out.stderr
    assert shows in out.stdout and "{" not in out.stdout.splitlines()[0]


def test_concept_json_for_machines(tmp_path):
    out = run(tmp_path, "concept", "x**n", "--json", "-")
    assert out.returncode == 0, out.stderr
    doc = json.loads(out.stdout)
    assert doc["definition"] == "x**n" and doc["params"] == ["n", "x"] and doc["invariants"]


@pytest.mark.parametrize(
    "content, message",
    [
        ('[{"formula": "x*y", "ranges": {"x": [1]}}]', "the range of x must be [low, high]"),
        (
            '[{"formula": "x*y", "ranges": {"x": ["a", 2]}}]',
            "the low end of the range of x is not a number",
        ),
        ('[{"formula": "x*y", "ranges": [1, 2]}]', "'ranges' must map variable names"),
        ('{"formula": "x"}', "expected a JSON list of formulas"),
    ],
)
def test_malformed_json_banks_say_where(tmp_path, content, message):
    (tmp_path / "bank.json").write_text(content)
    out = run(tmp_path, "detect", "bank.json")
    assert (
        out.returncode == 1 and out.stderr.startswith("keltran: error: ") and message in out.stderr
    )
    assert "Traceback" not in out.stderr


def test_csv_ranges_encodings_and_byte_order_marks(tmp_path):
    (tmp_path / "empty.csv").write_text("id,formula,var1_name,var1_low,var1_high\na,x*y,x,,2\n")
    out = run(tmp_path, "detect", "empty.csv")
    assert (
        out.returncode == 1
        and "empty.csv:2 (id a): the low end of the range of x is not a number" in out.stderr
    )
    (tmp_path / "latin.txt").write_bytes("x*y\n\xb5*x\n".encode("latin-1"))
    out = run(tmp_path, "detect", "latin.txt")
    assert out.returncode == 1 and "latin.txt: not UTF-8 text (byte 0xb5" in out.stderr
    (tmp_path / "bom.csv").write_bytes(
        "\ufeffid,formula\nfirst,x*y\nsecond,2*x*y\n".encode("utf-8")
    )
    out = run(tmp_path, "detect", "bom.csv", "--json", "out.json", "--quiet")
    assert out.returncode == 0, out.stderr
    doc = json.loads((tmp_path / "out.json").read_text())
    assert sorted(m["id"] for c in doc["candidates"] for m in c["members"]) == ["first", "second"]


def test_equations_and_keywords_in_bank_files(tmp_path):
    (tmp_path / "bank.txt").write_text("F = m*a\np = lambda*q\nG*x*y\n")
    out = run(tmp_path, "detect", "bank.txt", "--json", "out.json", "--quiet")
    assert out.returncode == 0, out.stderr
    doc = json.loads((tmp_path / "out.json").read_text())
    members = {m["id"]: m["formula"] for c in doc["candidates"] for m in c["members"]}
    members.update({x["id"]: x["formula"] for x in doc["left_out"]})
    assert members == {"F": "a*m", "p": "lambda*q", "line3": "G*x*y"}


@pytest.mark.parametrize(
    "args, message",
    [
        (["--sim-threshold", "1.5"], "must be at most 1"),
        (["--alpha", "2", "--beta", "-1"], "must be at most 1"),
        (["--alpha", "0.5", "--beta", "0.3"], "must add up to 1"),
        (["--novelty-threshold", "nan"], "must be a finite number"),
        (["--scale-recurrence", "0"], "must be above 0"),
        (["--min-members", "0"], "must be at least 1"),
        (["--large", "--behavior"], "needs the dense path"),
    ],
)
def test_nonsense_settings_are_usage_errors(folder, args, message):
    start = time.perf_counter()
    out = run(folder, "detect", "bank.txt", *args)
    assert out.returncode == 2 and message in out.stderr, out.stderr
    assert "KELTRAN:" not in out.stdout and time.perf_counter() - start < 30


def test_settings_reach_the_run(folder):
    out = run(
        folder,
        "detect",
        "bank.txt",
        "--alpha",
        "0.6",
        "--w-structural",
        "0.5",
        "--near-threshold",
        "0.1",
        "--json",
        "-",
        "--quiet",
    )
    assert out.returncode == 0, out.stderr
    settings = json.loads(out.stdout)["settings"]  # the document alone on standard output
    assert (
        settings["alpha"],
        settings["beta"],
        settings["w_structural"],
        settings["near_threshold"],
    ) == (0.6, 0.4, 0.5, 0.1)
    assert "KELTRAN:" in out.stderr  # the text report went to standard error


@pytest.mark.parametrize(
    "args, message",
    [
        (["--json", ""], "--json needs a file name"),
        (["--json", "missing/out.json"], "the folder missing does not exist"),
        (["--html", "."], "is a directory"),
        (["--json", "-", "--html", "-"], "only one output can go to standard output"),
    ],
)
def test_output_paths_are_checked_before_any_work(folder, args, message):
    out = run(folder, "detect", "bank.txt", *args)
    assert out.returncode == 1 and message in out.stderr and "KELTRAN:" not in out.stdout


def test_an_unreachable_scheduler_fails_fast(folder):
    start = time.perf_counter()
    out = run(folder, "detect", "bank.txt", "--large", "--dask", "tcp://127.0.0.1:9")
    assert (
        out.returncode == 1 and "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in out.stderr
    )
    assert time.perf_counter() - start < 30 and "KELTRAN:" not in out.stdout


def test_version_missing_key_and_closed_pipes(folder):
    out = run(folder, "--version")
    assert out.returncode == 0 and out.stdout.startswith("keltran ")
    out = run(folder, "concept", "x**n", "--llm")
    assert out.returncode == 3 and "set GROQ_API_KEY" in out.stderr
    shell = subprocess.run(
        f"{sys.executable} -P -m source detect bank.txt | head -1",
        shell=True,
        cwd=folder,
        capture_output=True,
        text=True,
        env=dict(os.environ, GROQ_API_KEY=""),
        timeout=300,
    )
    assert (
        shell.stdout.startswith("KELTRAN:")
        and "Traceback" not in shell.stderr
        and "Broken" not in shell.stderr
    )


def test_the_dense_path_names_large_when_memory_is_short(monkeypatch):
    from source.cli import inputs
    from source.cli.errors import CliError

    monkeypatch.setattr(inputs, "_memory_available", lambda: 2**30)
    with pytest.raises(CliError, match="use --large"):
        inputs.check_dense_fits(25_000)
    inputs.check_dense_fits(1_000)


@pytest.mark.parametrize(
    "extra, stages",
    [
        ([], ["describing", "all pairs", "scoring"]),
        (["--large"], ["describing", "similarity graph", "scoring"]),
    ],
)
def test_progress_on_a_terminal_and_silence_on_a_pipe(folder, extra, stages):
    pipe = run(folder, "detect", "bank.txt", *extra)
    assert pipe.returncode == 0 and "\r" not in pipe.stderr
    leader, follower = pty.openpty()
    fcntl.ioctl(
        follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0)
    )  # a terminal's size
    proc = subprocess.Popen(
        [sys.executable, "-P", "-m", "source", "detect", "bank.txt", *extra],
        cwd=folder,
        stdout=subprocess.DEVNULL,
        stderr=follower,
        env=dict(os.environ, GROQ_API_KEY=""),
    )
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    assert proc.wait(timeout=300) == 0
    text = seen.decode(errors="replace")
    for stage in stages:
        assert stage in text, (stage, text[-500:])


def test_the_hall_of_fame_files_of_several_runs_keep_their_run_in_the_ids(tmp_path):
    from source.bank.files import read_rows

    for run in ("run1", "run2"):
        (tmp_path / run).mkdir()
        (tmp_path / run / "hall_of_fame.csv").write_text(
            "Complexity,Loss,Equation\n3,0.1,x0*x1\n5,0.01,x0*x1 + 2\n"
        )
    (tmp_path / "bank.txt").write_text("x*y\n")
    rows = read_rows(
        [
            tmp_path / "run1" / "hall_of_fame.csv",
            tmp_path / "run2" / "hall_of_fame.csv",
            tmp_path / "bank.txt",
        ]
    )
    ids = [r.made_up for r in rows]
    assert ids[:2] == ["run1/hall_of_fame.csv:complexity=3", "run1/hall_of_fame.csv:complexity=5"]
    assert ids[2:4] == ["run2/hall_of_fame.csv:complexity=3", "run2/hall_of_fame.csv:complexity=5"]
    assert ids[4] == "bank.txt:line1" and len(set(ids)) == len(ids)
