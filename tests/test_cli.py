"""The keltran command line, end to end in a fresh interpreter, on small banks of every format."""
import json
import os
import subprocess
import sys

import pytest

BANK_ROWS = ["m*v**2/2", "k*x**2/2", "q*E**2/2", "exp(-t/tau)", "A*exp(-b/c)", "sin(w*t)*r"]


def run(tmp_path, *args, env=None):
    environment = dict(os.environ, GROQ_API_KEY="", **(env or {}))
    return subprocess.run([sys.executable, "-P", "-m", "source", *args], cwd=tmp_path, env=environment,
                          capture_output=True, text=True, timeout=300)


def write_banks(tmp_path):
    csv_rows = ["id,formula,var1_name,var1_low,var1_high"] + [
        f"f{i},{f},{'m' if i == 0 else ''},{1 if i == 0 else ''},{5 if i == 0 else ''}"
        for i, f in enumerate(BANK_ROWS)]
    (tmp_path / "bank.csv").write_text("\n".join(csv_rows) + "\n")
    hof = ["Complexity,Loss,Equation,sympy_format"] + [
        f"{i + 3},0.{i},{f.replace('**', '^')}," for i, f in enumerate(BANK_ROWS)]
    (tmp_path / "hall_of_fame.csv").write_text("\n".join(hof) + "\n")
    (tmp_path / "bank.txt").write_text("# kinetic-like\n" + "\n".join(BANK_ROWS) + "\n\n")
    (tmp_path / "bank.json").write_text(json.dumps(
        [{"id": f"j{i}", "formula": f, "ranges": {"m": [1, 5]} if "m" in f else {}} for i, f in enumerate(BANK_ROWS)]))
    (tmp_path / "strings.json").write_text(json.dumps(BANK_ROWS))
    (tmp_path / "laws.txt").write_text("m*v**2/2\nm*g*h\n")


@pytest.fixture(scope="module")
def banks(tmp_path_factory):
    path = tmp_path_factory.mktemp("banks")
    write_banks(path)
    return path


@pytest.mark.parametrize("bank", ["bank.csv", "hall_of_fame.csv", "bank.txt", "bank.json", "strings.json"])
def test_detect_reads_every_format(banks, bank):
    out = run(banks, "detect", bank, "--library", "laws.txt", "--sim-threshold", "0.7", "--quiet")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(f"KELTRAN: 6 formulas ({bank}) against 2 library entries (laws.txt)")
    assert "novel    : " in out.stdout and "\u2500\u2500 discarded" in out.stdout


SCHEMA = {"schema_version": int, "settings": dict, "similarity": dict, "candidates": list, "behavior": list}
CANDIDATE = {"formula": str, "display": str, "members": list, "growth_class": str,
             "closest_library_entry": str, "category": str}


def test_json_document_plot_and_behaviour(banks, tmp_path):
    doc_path, png = tmp_path / "out.json", tmp_path / "out.png"
    out = run(banks, "detect", "bank.csv", "--library", "laws.txt", "--sim-threshold", "0.7",
              "--behavior", "--json", str(doc_path), "--plot", str(png))
    assert out.returncode == 0, out.stderr
    assert "similarity \u2014 min=" in out.stdout and "Composition: Op1Eq1(" in out.stdout
    doc = json.loads(doc_path.read_text())
    assert {k: type(doc[k]) for k in SCHEMA} == SCHEMA and doc["schema_version"] == 1
    assert doc["candidates"], "the bank has recurring structure"
    for c in doc["candidates"]:
        assert {k: type(c[k]) for k in CANDIDATE} == CANDIDATE
        assert isinstance(c["score"], (float, str)) and c["category"] in ("novel", "repeated", "discarded")
        assert all(m["id"].startswith("f") for m in c["members"])
    assert set(doc["similarity"]) == {"min", "mean", "max"} and len(doc["behavior"]) >= 1
    import matplotlib.pyplot as plt
    assert plt.imread(png).shape[:2] == (800, 800)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json", "out.png"]


def test_concept_from_a_formula_and_from_a_detect_document(banks, tmp_path):
    out = run(banks, "concept", "x**n")
    assert out.returncode == 0, out.stderr
    assert "Concept concept: discovered 5 invariants" in out.stdout
    doc = tmp_path / "d.json"
    assert run(banks, "detect", "bank.txt", "--quiet", "--sim-threshold", "0.7", "--json", str(doc)).returncode == 0
    out = run(banks, "concept", str(doc))
    assert out.returncode == 0 and "Concept candidate0" in out.stdout, out.stderr
    out = run(banks, "concept", "x**n", "--llm")
    assert out.returncode == 2 and "set GROQ_API_KEY" in out.stderr


def test_bad_banks(tmp_path):
    (tmp_path / "bad.csv").write_text("id,formula\nok1,x+1\nbroken,x+*/2\nok2,x*y\n")
    out = run(tmp_path, "detect", "bad.csv", "--json", "out.json")
    assert out.returncode == 1
    assert "bad.csv:3 (id broken): cannot parse formula 'x+*/2'" in out.stderr
    assert not list(tmp_path.glob("*.json"))  # no half-written output
    out = run(tmp_path, "detect", "bad.csv", "--skip-bad", "--quiet")
    assert out.returncode == 0 and "skipped 1 unparsable row(s)" in out.stderr
    out = run(tmp_path, "detect", "missing.csv")
    assert out.returncode == 1 and "file not found: missing.csv" in out.stderr
    (tmp_path / "nocol.csv").write_text("a,b\n1,2\n")
    assert "no formula column" in run(tmp_path, "detect", "nocol.csv").stderr


@pytest.mark.parametrize("args", [["--help"], ["detect", "--help"], ["concept", "--help"]])
def test_help(tmp_path, args):
    out = run(tmp_path, *args)
    assert out.returncode == 0 and "usage: keltran" in out.stdout


def test_large_path_reports_the_same_structures(banks):
    dense = run(banks, "detect", "bank.csv", "--library", "laws.txt", "--sim-threshold", "0.7", "--quiet")
    large = run(banks, "detect", "bank.csv", "--library", "laws.txt", "--sim-threshold", "0.7", "--large")
    assert large.returncode == 0, large.stderr
    heads = lambda text: [l for l in text.splitlines() if l.startswith(("  [", "novel", "repeated", "discarded"))]
    assert heads(large.stdout) == heads(dense.stdout) and heads(dense.stdout)
