"""The keltran command line, end to end in a fresh interpreter, on small banks of every format."""

import json
import os
import re
import subprocess
import sys

import pytest

BANK_ROWS = ["m*v**2/2", "k*x**2/2", "q*E**2/2", "exp(-t/tau)", "A*exp(-b/c)", "sin(w*t)*r"]


def run(tmp_path, *args, env=None):
    environment = dict(os.environ, GROQ_API_KEY="", **(env or {}))
    return subprocess.run(
        [sys.executable, "-P", "-m", "source", *args],
        cwd=tmp_path,
        env=environment,
        stdin=subprocess.DEVNULL,  # an idle pipe the suite inherits is no bank
        capture_output=True,
        text=True,
        timeout=300,
    )


def write_banks(tmp_path):
    csv_rows = ["id,formula,var1_name,var1_low,var1_high"] + [
        f"f{i},{f},{'m' if i == 0 else ''},{1 if i == 0 else ''},{5 if i == 0 else ''}"
        for i, f in enumerate(BANK_ROWS)
    ]
    (tmp_path / "bank.csv").write_text("\n".join(csv_rows) + "\n")
    hof = ["Complexity,Loss,Equation,sympy_format"] + [
        f"{i + 3},0.{i},{f.replace('**', '^')}," for i, f in enumerate(BANK_ROWS)
    ]
    (tmp_path / "hall_of_fame.csv").write_text("\n".join(hof) + "\n")
    (tmp_path / "bank.txt").write_text("# kinetic-like\n" + "\n".join(BANK_ROWS) + "\n\n")
    (tmp_path / "bank.json").write_text(
        json.dumps(
            [
                {"id": f"j{i}", "formula": f, "ranges": {"m": [1, 5]} if "m" in f else {}}
                for i, f in enumerate(BANK_ROWS)
            ]
        )
    )
    (tmp_path / "strings.json").write_text(json.dumps(BANK_ROWS))
    (tmp_path / "laws.txt").write_text("m*v**2/2\nm*g*h\n")


@pytest.fixture(scope="module")
def banks(tmp_path_factory):
    path = tmp_path_factory.mktemp("banks")
    write_banks(path)
    return path


@pytest.mark.parametrize(
    "bank", ["bank.csv", "hall_of_fame.csv", "bank.txt", "bank.json", "strings.json"]
)
def test_detect_reads_every_format(banks, bank):
    out = run(
        banks,
        "detect",
        bank,
        "--library",
        "laws.txt",
        "--sim-threshold",
        "0.7",
        "--quiet",
        "--full",
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(
        f"KELTRAN: 6 formulas ({bank}) against 2 library entries (laws.txt)"
    )
    assert "novel    : " in out.stdout and "\u2500\u2500 discarded" in out.stdout


SCHEMA = {
    "schema_version": int,
    "settings": dict,
    "counts": dict,
    "similarity": dict,
    "candidates": list,
    "left_out": list,
    "skipped": list,
    "behavior": list,
}
CANDIDATE = {
    "formula": str,
    "display": str,
    "members": list,
    "growth_class": str,
    "closest_library_entry": str,
    "category": str,
}


def test_json_document_plot_and_behaviour(banks, tmp_path):
    doc_path, png = tmp_path / "out.json", tmp_path / "out.png"
    out = run(
        banks,
        "detect",
        "bank.csv",
        "--library",
        "laws.txt",
        "--sim-threshold",
        "0.7",
        "--behavior",
        "--json",
        str(doc_path),
        "--plot",
        str(png),
    )
    assert out.returncode == 0, out.stderr
    assert "similarity \u2014 min=" in out.stdout and "Composition: Op1Eq1(" in out.stdout
    doc = json.loads(doc_path.read_text())
    assert {k: type(doc[k]) for k in SCHEMA} == SCHEMA and doc["schema_version"] == 2
    assert doc["candidates"], "the bank has recurring structure"
    for c in doc["candidates"]:
        assert {k: type(c[k]) for k in CANDIDATE} == CANDIDATE
        assert (c["score"] is None) == c["score_infinite"] and c["category"] in (
            "novel",
            "repeated",
            "discarded",
        )
        terms = c["score_terms"]
        assert list(terms) == [
            "structural",
            "behavioral",
            "irreducibility",
            "recurrence",
            "compression",
        ]
        if c["score"] is not None:
            assert sum(terms.values()) == pytest.approx(c["score"])
        assert all(m["id"].startswith("f") for m in c["members"])
    assert set(doc["similarity"]) == {"min", "mean", "max"} and len(doc["behavior"]) >= 1
    import matplotlib.pyplot as plt

    assert plt.imread(png).shape[:2] == (900, 1100)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json", "out.png"]


def test_concept_from_a_formula_and_from_a_detect_document(banks, tmp_path):
    out = run(banks, "concept", "x**n")
    assert out.returncode == 0, out.stderr
    assert "Concept of x**n" in out.stdout and "Concept x**n: discovered 5 invariants" in out.stdout
    doc = tmp_path / "d.json"
    assert (
        run(
            banks, "detect", "bank.txt", "--quiet", "--sim-threshold", "0.7", "--json", str(doc)
        ).returncode
        == 0
    )
    out = run(banks, "concept", str(doc))
    assert out.returncode == 0 and "Concept of structure 0" in out.stdout, out.stderr
    out = run(banks, "concept", "x**n", "--llm")
    assert out.returncode == 3 and "set GROQ_API_KEY" in out.stderr


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
    dense = run(
        banks,
        "detect",
        "bank.csv",
        "--library",
        "laws.txt",
        "--sim-threshold",
        "0.7",
        "--quiet",
        "--full",
    )
    large = run(
        banks,
        "detect",
        "bank.csv",
        "--library",
        "laws.txt",
        "--sim-threshold",
        "0.7",
        "--large",
        "--quiet",
        "--full",
    )
    assert large.returncode == 0, large.stderr
    heads = lambda text: [
        l for l in text.splitlines() if l.startswith(("  [", "novel", "repeated", "discarded"))
    ]
    assert heads(large.stdout) == heads(dense.stdout) and heads(dense.stdout)


def test_verdicts_lead_the_report_and_the_json(tmp_path):
    # Renamings and multiples of two library laws, and a structure the library does not hold.
    rows = [
        "Q*q/(4*pi*eps0*d**2)",
        "a*b/(4*pi*e*s**2)",
        "3*M*u**2",
        "M2*u2**2/5",
        "sin(x)*y*z",
        "sin(t)*u*w",
        "sin(p)*c*d",
    ]
    (tmp_path / "bank.txt").write_text("\n".join(rows) + "\n")
    (tmp_path / "laws.csv").write_text(
        "id,formula\ncoulomb,q1*q2/(4*pi*epsilon*r**2)\nkinetic,m*v**2/2\n"
    )
    out = run(
        tmp_path, "detect", "bank.txt", "--library", "laws.csv", "--json", "out.json", "--full"
    )
    assert out.returncode == 0, out.stderr
    text = out.stdout
    assert text.index("=== Structures: known law or new ===") < text.index("=== Detection score:")
    assert "known laws    : 2\nnew structures: 1" in text
    assert "known law (identical): coulomb" in text and "known law (scaled): kinetic" in text
    assert "new structure" in text
    doc = json.loads((tmp_path / "out.json").read_text())
    matches = sorted((c["library_match"] or {}).get("law", "new") for c in doc["candidates"])
    assert matches == ["coulomb", "kinetic", "new"]
    coulomb = next(
        c for c in doc["candidates"] if (c["library_match"] or {}).get("law") == "coulomb"
    )
    assert set(coulomb["library_match"]) == {"law", "kind", "distance", "mapping"}
    assert coulomb["library_match"]["mapping"] in (
        {"Q": "q1", "q": "q2", "eps0": "epsilon", "d": "r"},
        {"Q": "q2", "q": "q1", "eps0": "epsilon", "d": "r"},
        {"a": "q1", "b": "q2", "e": "epsilon", "s": "r"},
        {"a": "q2", "b": "q1", "e": "epsilon", "s": "r"},
    )
    for c in doc["candidates"]:
        names = set(re.findall(r"[^\W\d]\w*", c["formula"]))
        for member in c["members"]:
            # Each wildcard and variable of the formula, and nothing else, is bound.
            assert set(member["bindings"]) == names - {"sin", "pi"}, (c["formula"], member)


def test_two_runs_with_one_seed_print_the_same_numbers(banks):
    args = ("detect", "bank.csv", "--library", "laws.txt", "--sim-threshold", "0.7", "--full")
    first, second = run(banks, *args), run(banks, *args)
    assert first.returncode == 0 and first.stdout == second.stdout
    other = run(
        banks,
        "detect",
        "bank.csv",
        "--library",
        "laws.txt",
        "--sim-threshold",
        "0.7",
        "--seed",
        "7",
        "--full",
    )
    sensitivity = lambda text: [l for l in text.splitlines() if "sensitivity" in l]
    assert sensitivity(other.stdout) != sensitivity(first.stdout)


@pytest.mark.parametrize("path", [[], ["--large"]])
def test_timings_account_for_the_whole_run(banks, path):
    out = run(banks, "detect", "bank.csv", "--library", "laws.txt", "--quiet", "--timings", *path)
    assert out.returncode == 0, out.stderr
    times = dict(
        (m.group(1).strip(), float(m.group(2)))
        for m in re.finditer(r"^  (.{32}) +([\d.]+) s$", out.stderr, re.M)
    )
    assert {
        "reading and describing",
        "clustering",
        "scoring",
        "filtering",
        "outside the stages",
    } <= set(times)
    whole = times.pop("whole run")
    # Each figure is rounded to a tenth of a second.
    assert sum(times.values()) == pytest.approx(whole, abs=0.05 * (len(times) + 1))


@pytest.mark.parametrize("outcome", ["done", "refused"])
def test_a_command_leaves_the_collector_as_it_found_it(monkeypatch, capsys, outcome):
    """A command collects cycles less often while it runs (it holds large banks), and gives the
    caller's process its thresholds back however it ends."""
    import gc

    from source.cli import detect as detect_command
    from source.cli import entry as cli
    from source.cli.errors import CliError

    before, seen = gc.get_threshold(), []

    def command(args):
        seen.append(gc.get_threshold())
        if outcome == "refused":
            raise CliError("no")
        return 0

    monkeypatch.setattr(detect_command, "command", command)
    assert cli.main(["detect"]) == (0 if outcome == "done" else 1)
    assert seen[0][0] > before[0] and gc.get_threshold() == before


@pytest.mark.parametrize("path", [["--large"], ["--state", "kept"]])
def test_the_large_path_and_a_state_write_the_page_and_the_picture(banks, path):
    out = run(
        banks,
        "detect",
        "bank.csv",
        "--html",
        "p.html",
        "--plot",
        "p.png",
        "--json",
        "p.json",
        *path,
    )
    assert out.returncode == 0, out.stderr
    page = (banks / "p.html").read_text()
    doc = json.loads((banks / "p.json").read_text())
    assert doc["candidates"] and all(c["id"] in page for c in doc["candidates"])
    if "--state" in path:
        assert doc["changes"]["text"] in page
    assert (banks / "p.png").read_bytes().startswith(b"\x89PNG")
