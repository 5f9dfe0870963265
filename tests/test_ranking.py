"""Which structures a run shows and in what order: stable ids, runs, degenerate behaviour last,
and no structure made of a single variable."""

import json
import math
from types import SimpleNamespace

import pytest
import sympy as sp
from test_cli import run

from source.api import detect
from source.run import ranking
from source.run.results import Found

v0, v1, p1, p2 = sp.symbols("v0 v1 \u03c61 \u03c62")


@pytest.mark.parametrize(
    "formula, trivial",
    [
        (v0, True),
        (p1 * v0 + p2, True),
        (v0 / p1, True),
        (p1, True),
        (v0**p1, False),
        (v0**2, False),
        (sp.exp(v0 * p1), False),
        (sp.sin(v0), False),
        (v0 * v1, False),
        (v0 + v1 * p1, False),
    ],
)
def test_a_single_variable_is_no_structure(formula, trivial):
    assert ranking.is_trivial(formula) is trivial


def _descriptor(variance, invalid=0.0, growth="polynomial"):
    return SimpleNamespace(variance=variance, frac_invalid=invalid, growth_class=growth)


@pytest.mark.parametrize(
    "members, degenerate",
    [
        ([_descriptor(math.inf)] * 3, True),  # overflowing
        ([_descriptor(0.0)] * 2, True),  # a constant
        ([_descriptor(4.0, invalid=0.9)] * 2, True),  # undefined on most of its range
        ([_descriptor(4.0, growth="undefined")], True),
        ([_descriptor(4.0), _descriptor(math.inf), _descriptor(2.0)], False),  # a minority
        ([_descriptor(4.0), _descriptor(1e300)], False),
    ],
)
def test_degenerate_behaviour(members, degenerate):
    assert ranking.is_degenerate(members) is degenerate


def _found(formula, rows, score):
    return Found(SimpleNamespace(formula=formula, novelty=score), 0, rows)


def test_ranked_by_runs_then_members_then_score_degenerate_last():
    origins = [SimpleNamespace(run=f"run{k % 3}") for k in range(12)]
    descriptors = [_descriptor(1.0)] * 10 + [_descriptor(math.inf)] * 2
    found = [
        _found(sp.exp(v0), [10, 11], 99.0),  # degenerate: last whatever its score
        _found(sp.sin(v0), [0, 3], 50.0),  # one run
        _found(sp.cos(v0), [0, 1, 2], 5.0),  # three runs
        _found(sp.tan(v0), [1, 4, 7, 2], 1.0),  # two runs, four members
        _found(sp.log(v0), [5, 8, 6], 2.0),  # two runs, three members
        _found(sp.sqrt(v0), [9, 1, 6], 3.0),  # two runs, three members, higher score
    ]
    ranking.rank(found, descriptors, origins)
    assert [str(f.candidate.formula) for f in found] == [
        "cos(v0)",
        "tan(v0)",
        "sqrt(v0)",
        "log(v0)",
        "sin(v0)",
        "exp(v0)",
    ]
    assert [f.runs for f in found] == [3, 2, 2, 2, 1, 2]
    assert found[-1].degenerate and not any(f.degenerate for f in found[:-1])
    assert found[0].key == ranking.structure_key("cos(v0)") and len(set(f.key for f in found)) == 6


def test_one_formula_twice_keeps_two_ids():
    found = [_found(sp.sin(v0), [0, 1], 2.0), _found(sp.sin(v0), [2, 3, 4], 1.0)]
    ranking.rank(found, [_descriptor(1.0)] * 5, None)
    assert found[0].key == ranking.structure_key("sin(v0)") and found[1].key.endswith("-2")


# Three engine runs on one problem: each writes its hall of fame; complexities repeat.
RUNS = {
    "run1": [(3, 0.5, "x0*x1"), (5, 0.1, "0.51*x0*x1^2"), (7, 0.01, "exp(-0.37*x0)*x1")],
    "run2": [(3, 0.4, "x0*x1"), (5, 0.2, "0.49*x0*x1^2"), (8, 0.02, "exp(-0.31*x0)*x1")],
    "run3": [(2, 0.9, "2.5*x0 + 1.1"), (5, 0.1, "0.5*x0*x1^2"), (9, 0.03, "sin(1.3*x0)*x1")],
}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("runs")
    for name, rows in RUNS.items():
        (folder / name).mkdir()
        lines = ["Complexity,Loss,Equation"] + [f"{c},{loss},{e}" for c, loss, e in rows]
        (folder / name / "hall_of_fame.csv").write_text("\n".join(lines) + "\n")
    return folder, [str(folder / name / "hall_of_fame.csv") for name in RUNS]


def test_each_formula_keeps_its_run_loss_and_complexity(runs):
    _, paths = runs
    result = detect(paths)
    by_id = {f["id"]: f for f in result.formulas}
    row = by_id["run2/hall_of_fame.csv:complexity=8"]
    assert (row["run"], row["loss"], row["complexity"]) == ("run2/hall_of_fame.csv", 0.02, 8.0)
    assert row["file"] == "run2/hall_of_fame.csv"
    assert result.run.runs == 3
    for s in result.structures:
        members = [by_id[i] for i in s["ids"]]
        assert s["runs"] == len({m["run"] for m in members})


def test_the_command_line_tells_in_how_many_runs(runs):
    folder, paths = runs
    out = run(folder, "detect", *paths, "--json", "out.json", "--csv", "out.csv")
    assert out.returncode == 0, out.stderr
    doc = json.loads((folder / "out.json").read_text())
    assert doc["version"] and doc["schema_version"] and doc["runs"] == 3
    runs_of = {f["id"]: f["run"] for f in doc["formulas"]}
    for c in doc["candidates"]:
        assert c["id"].startswith("s") and c["runs"] == len(
            {runs_of[m["id"]] for m in c["members"]}
        )
        assert f"in {c['runs']} of 3 runs" in out.stdout
    assert "loss" in (folder / "out.csv").read_text().splitlines()[0].split(",")
    # the affine model of run3 is no structure: its canonical form is a single variable
    assert all(c["formula"] not in ("v0", "v0*\u03c61") for c in doc["candidates"])


def test_ids_stay_when_the_bank_is_reordered(runs):
    _, paths = runs
    first = {s["formula"]: s["id"] for s in detect(paths).structures}
    again = {s["formula"]: s["id"] for s in detect(paths[::-1]).structures}
    assert first and first == again


def test_overflowing_behaviour_ranks_last_whatever_its_score():
    bank = ["exp(exp(3*x))*a", "exp(exp(4*y))*b", "exp(exp(5*z))*c"]
    bank += ["q1*q2/r**2", "2*q1*q2/r**2", "m*v**2", "3*m*v**2"]
    structures = detect(bank).structures
    last = structures[-1]
    assert last["degenerate"] and "exp(exp(" in last["formula"]
    assert last["score"] > max(s["score"] for s in structures[:-1])
    assert not any(s["degenerate"] for s in structures[:-1])


def test_the_answer_does_not_depend_on_the_bank_order(runs):
    _, paths = runs
    rows = [f for p in paths for f in open(p).read().splitlines()[1:]]
    bank = {f"r{k}": row.split(",", 2)[2] for k, row in enumerate(rows)}
    shown = lambda result: {
        s["id"]: (s["formula"], sorted(s["ids"]), s["score"]) for s in result.structures
    }
    forward = detect(bank)
    backward = detect(dict(reversed(list(bank.items()))))
    assert shown(forward) and shown(forward) == shown(backward)
    assert [f["id"] for f in backward.formulas] == list(reversed(bank))  # the table in bank order
