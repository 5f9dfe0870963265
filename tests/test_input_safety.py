"""Hostile files and arguments through every entry point that reads formula text: nothing they
hold ever runs, bombs end fast with a clear error, ids survive duplicates, outputs never
overwrite inputs and are written whole."""

import json
import os
import signal
import subprocess
import sys
import time
import warnings

import pytest
from test_cli import run
from test_parsing import HOSTILE

GOOD = ["m*v**2/2", "k*x**2/2", "q*E**2/2", "exp(-t/tau)"]


def bank_files(folder, formula):
    """The same bank in every format, the hostile formula as the third row (file line 4 in the
    CSVs, whose first line is the header)."""
    rows = GOOD[:2] + [formula] + GOOD[2:]
    import csv

    with open(folder / "bank.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["id", "formula"])
        w.writerows([f"r{i}", r] for i, r in enumerate(rows))
    with open(folder / "hof.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["Complexity", "Loss", "Equation"])
        w.writerows([i + 1, 0.1, r] for i, r in enumerate(rows))
    (folder / "bank.json").write_text(
        json.dumps([{"id": f"r{i}", "formula": r} for i, r in enumerate(rows)])
    )
    if "\n" not in formula:
        (folder / "bank.txt").write_text("\n".join(rows) + "\n")
    return [p for p in ("bank.csv", "hof.csv", "bank.json", "bank.txt") if (folder / p).exists()]


@pytest.mark.parametrize("template", HOSTILE)
def test_hostile_rows_never_run_in_any_bank_format(tmp_path, template):
    from source.bank import files as bankio

    marker = tmp_path / "owned"
    for name in bank_files(tmp_path, template.format(marker=marker)):
        with pytest.raises(
            bankio.BankError,
            match=r"(bank|hof)\.(csv|json|txt):\d+ \(id [^)]+\): cannot parse formula",
        ):
            bankio.load(tmp_path / name)
        entries, skipped = bankio.load(tmp_path / name, skip_bad=True)
        assert len(skipped) == 1 and [str(e.expr) for e in entries][:2] == ["m*v**2/2", "k*x**2/2"]
    assert not marker.exists()


def test_hostile_bank_and_library_end_with_an_error_line(tmp_path):
    marker = tmp_path / "owned"
    bank_files(tmp_path, HOSTILE[0].format(marker=marker))
    (tmp_path / "good.txt").write_text("\n".join(GOOD) + "\n")
    for args in (["bank.csv"], ["good.txt", "--library", "bank.json"]):
        out = run(tmp_path, "detect", *args, "--quiet")
        assert out.returncode == 1 and out.stderr.startswith("keltran: error: "), out.stderr
        assert ":4 (id r2): cannot parse formula" in out.stderr or ":3 (id r2)" in out.stderr
    out = run(tmp_path, "detect", "bank.csv", "--quiet", "--skip-bad")
    assert out.returncode == 0 and "skipped 1 unparsable row(s)" in out.stderr
    assert not marker.exists()


def test_hostile_concept_reports_never_run(tmp_path):
    marker = tmp_path / "owned"
    hostile = HOSTILE[1].format(marker=marker)
    (tmp_path / "report.json").write_text(json.dumps({"name": "op", "definition": hostile}))
    (tmp_path / "doc.json").write_text(json.dumps({"candidates": [{"formula": hostile}]}))
    for args in (["concept", hostile], ["concept", "report.json"], ["concept", "doc.json"]):
        out = run(tmp_path, *args)
        assert out.returncode == 1 and "keltran: error: cannot parse" in out.stderr, (
            args,
            out.stderr,
        )
    assert not marker.exists()


def test_hostile_text_through_the_python_api(m, tmp_path, capsys):
    marker = tmp_path / "owned"
    hostile = HOSTILE[0].format(marker=marker)
    with pytest.raises(ValueError, match="^Cannot parse expression '"):
        m.describe(hostile)
    for report in (
        hostile,
        {"name": "op", "definition": hostile},
        json.dumps({"name": "op", "definition": hostile}),
    ):
        with pytest.raises(ValueError):
            m.discover_concept(report)
    with pytest.raises(ValueError, match="range"):
        m.discover_concept({"name": "op", "definition": "a*x", "params": ["x0:100000000"]})
    assert not marker.exists()


@pytest.mark.parametrize(
    "bomb", ["x + 9**9**9", "x + 10**10**10", "x + gamma(10**8)", "a*x**10000"]
)
def test_bombs_in_a_file_end_fast(tmp_path, bomb):
    (tmp_path / "bank.txt").write_text(f"m*v**2/2\n{bomb}\nk*x**2/2\n")
    start = time.perf_counter()
    out = run(tmp_path, "detect", "bank.txt", "--quiet")
    assert out.returncode == 1 and "bank.txt:2 (id line2): cannot parse formula" in out.stderr
    assert time.perf_counter() - start < 30  # the interpreter's start-up; a bomb took minutes


@pytest.mark.parametrize("path", [[], ["--large"]])
def test_duplicate_rows_keep_their_own_ids(tmp_path, path):
    (tmp_path / "bank.txt").write_text("x*y\nx*y\n2*x*y\na*b\nsin(t)\n")
    out = run(tmp_path, "detect", "bank.txt", "--quiet", "--json", "out.json", *path)
    assert out.returncode == 0, out.stderr
    doc = json.loads((tmp_path / "out.json").read_text())
    members = [m for c in doc["candidates"] for m in c["members"]]
    assert sorted(m["id"] for m in members) == ["line1", "line2", "line3", "line4"]
    assert {m["id"]: m["formula"] for m in members}["line2"] == "x*y"


def test_output_may_not_overwrite_an_input(tmp_path):
    (tmp_path / "bank.json").write_text(json.dumps(GOOD))
    (tmp_path / "laws.txt").write_text("m*a\n")
    os.symlink("bank.json", tmp_path / "alias.json")
    before = (tmp_path / "bank.json").read_text()
    for args in (
        ["--json", "bank.json"],
        ["--json", "alias.json"],
        ["--plot", "bank.json"],
        ["--library", "laws.txt", "--json", "laws.txt"],
    ):
        out = run(tmp_path, "detect", "bank.json", "--quiet", *args)
        assert out.returncode == 1 and "would overwrite the input file" in out.stderr, args
    assert (tmp_path / "bank.json").read_text() == before


def test_outputs_keep_symlinks_and_take_the_umask(tmp_path):
    (tmp_path / "bank.txt").write_text("\n".join(GOOD) + "\n")
    (tmp_path / "real.json").write_text("{}")
    os.chmod(tmp_path / "real.json", 0o640)
    os.symlink("real.json", tmp_path / "link.json")
    env = dict(os.environ, GROQ_API_KEY="")
    for name in ("link.json", "new.json"):
        subprocess.run(
            [sys.executable, "-P", "-m", "source", "detect", "bank.txt", "--quiet", "--json", name],
            cwd=tmp_path,
            env=env,
            check=True,
            capture_output=True,
            preexec_fn=lambda: os.umask(0o027),
        )
    assert os.path.islink(tmp_path / "link.json")
    assert json.loads((tmp_path / "real.json").read_text())["settings"]["bank"] == "bank.txt"
    assert os.stat(tmp_path / "real.json").st_mode & 0o777 == 0o640  # kept
    assert os.stat(tmp_path / "new.json").st_mode & 0o777 == 0o640  # 0666 under umask 027
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "bank.txt",
        "link.json",
        "new.json",
        "real.json",
    ]


def test_sigterm_while_writing_leaves_no_temporary_file(tmp_path):
    from source.cli import outputs

    previous = signal.signal(signal.SIGTERM, outputs.on_sigterm)
    try:
        with pytest.raises(outputs.Terminated):
            with outputs.atomic(tmp_path / "out.json") as f:
                f.write("{")
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(1)
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert list(tmp_path.iterdir()) == []


def test_sigterm_ends_a_run_with_its_own_exit_code(tmp_path):
    (tmp_path / "bank.txt").write_text("\n".join(GOOD * 50) + "\n")
    proc = subprocess.Popen(
        [sys.executable, "-P", "-m", "source", "detect", "bank.txt", "--json", "out.json"],
        cwd=tmp_path,
        env=dict(os.environ, GROQ_API_KEY=""),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    time.sleep(4)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode in (0, 143), err  # 0 only if it finished first
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]
    if proc.returncode == 143:
        assert "keltran: terminated" in err


def test_dask_run_carries_the_ids(m):
    dask = pytest.importorskip("dask.distributed")
    import sympy as sp

    from source.bank.laws import load_library
    from source.run.detect import detect
    from source.run.runner import DaskRunner

    x, y, a, b = sp.symbols("x y a b")
    exprs = [x * y, x * y, 2 * x * y, a * b, sp.sin(x), sp.sin(x) + 1, sp.sin(y)]
    ids = [f"row{i}" for i in range(len(exprs))]
    library = load_library()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dense = detect(ids, exprs, library, verbose=False)
        with (
            dask.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
            dask.Client(cluster) as client,
        ):
            remote = detect(
                ids,
                exprs,
                library,
                runner=DaskRunner(client),
                large=True,
                block_size=3,
                verbose=False,
            )
    assert [f.rows for f in remote.found] == [f.rows for f in dense.found] and dense.found
    assert [[remote.ids[r] for r in f.rows] for f in remote.found][0][:2] == ["row0", "row1"]
    assert [str(f.candidate.formula) for f in remote.found] == [
        str(f.candidate.formula) for f in dense.found
    ]
