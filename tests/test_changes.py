"""What a run on a kept state tells of its structures since the last run of that state: which
are new, grew, shrank, changed verdict or formula, or are gone; the summary of structures the
state keeps for it, read back as written; and a state kept without one, which still reads."""

import inspect
import json
from pathlib import Path

import pytest

from source.cli import entry as cli
from source.state import changes, store
from source.state.kept import KeptStructure

ROOT = Path(__file__).resolve().parent.parent
RANGES = {"x": [1, 5], "y": [1, 5]}


def _family(formula, constants, tag):
    return [
        {"id": f"{tag}{i}", "formula": formula.format(c=c), "ranges": RANGES}
        for i, c in enumerate(constants)
    ]


# Families of rows, each of which forms one structure: `a` grows by four rows, `c` comes later,
# and `g` gains rows of other powers, which generalise its formula (a new id).
A = _family("{c}*x*y**2", [1.5, 2.25, 3.75, 4.5, 5.25, 6.5, 7.75, 8.5, 9.25, 10.5], "a")
B = _family("{c}*exp(-x/y)", [1.5, 2.25, 3.75, 4.5, 5.25, 6.5], "b")
C = _family("{c}*sin(x)*cos(y)", [1.5, 2.25, 3.75, 4.5, 5.25, 6.5], "c")
G = _family("{c}*exp(y)*x**2", [1.5, 2.25, 3.75, 4.5, 5.25], "g")
H = [
    {"id": f"h{i}", "formula": f"{c}*exp(y)*x**{k}", "ranges": RANGES}
    for i, (c, k) in enumerate([(1.5, 3), (2.5, 4), (3.5, 3), (4.5, 5)])
]
N = _family("x**{c} + y", [0.5, 1.5, 2.5, 3.5], "n") + [
    {"id": "m1", "formula": "log(x) + y**3", "ranges": RANGES},
    {"id": "m2", "formula": "tanh(x*y)", "ranges": RANGES},
]
FIRST = A[:6] + B + N + G


class Runs:
    """Runs `keltran detect --state` in this process, keeping the state each run read (None
    before the first), the run it kept and the keys of the run's rows (`Reuse.keys`, None
    where the run took nothing of a state)."""

    def __init__(self, tmp_path, capsys, monkeypatch):
        self.tmp_path, self.capsys, self.state = tmp_path, capsys, tmp_path / "kept"
        self.seen = {}
        write, read = store.write, store.read

        def writing(*args, **kwargs):
            given = inspect.signature(write).bind(*args, **kwargs).arguments
            reuse = given.get("reuse")
            self.seen.update(
                run=given["run"], rows=given["rows"], keys=None if reuse is None else reuse.keys
            )
            return write(*args, **kwargs)

        def reading(folder, settings):
            self.seen["kept"] = read(folder, settings)
            return self.seen["kept"]

        monkeypatch.setattr(store, "write", writing)
        monkeypatch.setattr(store, "read", reading)

    def __call__(self, bank, *options):
        path = self.tmp_path / "bank.json"
        path.write_text(json.dumps(bank))
        self.seen.clear()
        out = self.tmp_path / "out.json"
        code = cli.main(
            ["detect", str(path), "--quiet", "--state", str(self.state), "--json", str(out)]
            + list(options)
        )
        captured = self.capsys.readouterr()
        assert code == 0, captured.err
        self.doc, self.out = json.loads(out.read_text()), captured.out
        return self.seen["kept"], self.seen["run"], self.seen["keys"]


@pytest.fixture
def runs(tmp_path, capsys, monkeypatch):
    return Runs(tmp_path, capsys, monkeypatch)


def _key_of(run, tag):
    """The id of the run's structure that holds the first row of a family."""
    keys = [f.key for f in run.found if f"{tag}0" in [run.ids[r] for r in f.rows]]
    assert len(keys) == 1, f"no structure holds {tag}0"
    return keys[0]


# later bank, {list: families whose structure is in it}, rows (added, removed), text
SCENARIOS = {
    "grown": (
        FIRST + A[6:] + C,
        {"grew": ["a"], "new": ["c"]},
        (10, 0),
        "Since the last run of this state: 1 new structure, 1 grew; 10 rows added",
    ),
    "same": (FIRST, {}, (0, 0), "Since the last run of this state: no change in the structures"),
    "reordered": (
        FIRST[::-1],
        {},
        (0, 0),
        "Since the last run of this state: no change in the structures",
    ),
    "shrunk": (
        A[:4] + N + G,
        {"shrank": ["a"], "gone": ["b"]},
        (0, 8),
        "Since the last run of this state: 1 shrank, 1 gone; 8 rows removed",
    ),
    "generalised": (
        FIRST + H,
        {"grew": ["g"], "changed_formula": ["g"]},
        (4, 0),
        "Since the last run of this state: 1 changed its formula, 1 grew; 4 rows added",
    ),
    "grown and shrunk": (
        A + N + G + C[:4],
        {"grew": ["a"], "new": ["c"], "gone": ["b"]},
        (8, 6),
        "Since the last run of this state: 1 new structure, 1 grew, 1 gone; 8 rows added, "
        "6 removed",
    ),
}


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_a_run_tells_what_changed_since_the_last_run_of_its_state(runs, scenario):
    later, lists, (added, removed), said = SCENARIOS[scenario]
    before, first, _ = runs(FIRST)
    assert before is None
    kept, run, keys = runs(later)
    got = changes.changes(kept, run, keys)
    assert got["text"] == said
    assert got["first"] is False and got["recorded"] is True
    assert got["rows"] == {
        "before": len(FIRST),
        "now": len(later),
        "added": added,
        "removed": removed,
    }
    for name in changes.LISTS:
        tags = lists.get(name, [])
        if name == "gone":
            want = [_key_of(first, t) for t in tags]
        elif name == "changed_formula":
            want = [{"id": _key_of(run, t), "was": _key_of(first, t)} for t in tags]
            assert all(w["id"] != w["was"] for w in want)
        else:
            want = [_key_of(run, t) for t in tags]
        assert got[name] == want, name
        assert got["counts"][name] == len(want)
    # what the earlier structures named were: the last run's, as that run found them
    assert set(got["earlier"]) == {
        _key_of(first, t) for name, tags in lists.items() if name != "new" for t in tags
    }
    for key, was in got["earlier"].items():
        (f,) = [f for f in first.found if f.key == key]
        assert (was["formula"], was["members"]) == (f.shown(), len(f.rows))
        law = f.verdict.law if f.verdict.verdict == "known" else None
        assert (was["verdict"], was["law"]) == (f.verdict.verdict, law)
    touched = {_key_of(run, t) for name, tags in lists.items() if name != "gone" for t in tags}
    assert got["counts"]["unchanged"] == len(run.found) - len(touched)
    assert got["structures"] == len(run.found) and got["before"] == len(first.found)


def test_the_first_run_of_a_state_and_a_state_kept_without_a_summary(runs):
    kept, run, keys = runs(FIRST)
    got = changes.changes(kept, run, keys)
    assert (
        got["first"] is True
        and got["text"] == f"First run of this state: {len(run.found)} structures"
    )
    assert got["rows"] == {"before": 0, "now": len(FIRST), "added": len(FIRST), "removed": 0}
    assert all(got[name] == [] for name in changes.LISTS)
    # A state kept before its structures were recorded: its manifest names no summary.
    manifest = json.loads((runs.state / "manifest.json").read_text())
    (runs.state / manifest["files"].pop("structures")).unlink()
    manifest["sha256"].pop("structures")
    (runs.state / "manifest.json").write_text(json.dumps(manifest))
    kept, run, keys = runs(FIRST + C)
    assert kept is not None and kept.structures is None and len(kept) == len(FIRST)
    got = changes.changes(kept, run, keys)
    assert got["first"] is False and got["recorded"] is False and got["before"] is None
    assert all(got[name] == [] for name in changes.LISTS)
    assert got["text"] == (
        f"The state holds no record of its earlier structures: {len(run.found)} structures now; "
        f"{len(C)} rows added"
    )
    # The run keeps a summary again, which the next run compares with.
    kept, again, keys = runs(FIRST + C)
    assert kept.structures == changes.summary(run)
    assert changes.changes(kept, again, keys)["text"].endswith("no change in the structures")


def test_the_summary_reads_back_as_written(runs):
    runs(FIRST)
    _, run, _ = runs(FIRST + A[6:] + H)
    rows = runs.seen["rows"]
    kept = runs(FIRST + A[6:] + H)[0]
    written = changes.summary(run)
    assert kept.structures == written and len(written) == len(run.found)
    for s, f in zip(written, run.found):
        assert (s.key, s.formula, s.runs) == (f.key, f.shown(), f.runs)
        assert (s.verdict, s.law) == (
            f.verdict.verdict,
            f.verdict.law if s.verdict == "known" else None,
        )
        # its members are rows of the state: the same formulas the run's members had
        assert [kept.records[k]["formula"] for k in s.members] == [rows[r].formula for r in f.rows]
    assert {s.verdict for s in written} == {"known", "new"}
    manifest = json.loads((runs.state / "manifest.json").read_text())
    assert manifest["files"]["structures"] in {p.name for p in runs.state.iterdir()}
    assert set(manifest["sha256"]) == set(manifest["files"])


def _bank_rows(tmp_path, lines):
    path = tmp_path / f"sr{lines}.csv"
    with open(ROOT / "bench" / "data" / "sr_bank.csv") as f:
        path.write_text("".join(line for _, line in zip(range(lines + 1), f)))
    return path


def test_changes_on_a_grown_regression_bank_account_for_every_structure(
    tmp_path, capsys, monkeypatch
):
    """On rows of symbolic regression runs, every structure of a run is new or was one of the
    last run's, and every one of the last run's is gone or is one of this run's, once."""
    runs = Runs(tmp_path, capsys, monkeypatch)
    for lines in (300, 700):
        path = _bank_rows(tmp_path, lines)
        code = cli.main(["detect", str(path), "--quiet", "--state", str(runs.state)])
        assert code == 0, capsys.readouterr().err
        if lines == 300:
            first = runs.seen["run"]
    kept, run, keys = runs.seen["kept"], runs.seen["run"], runs.seen["keys"]
    got = changes.changes(kept, run, keys)
    now = [f.key for f in run.found]
    before = [f.key for f in first.found]
    renamed = {c["id"]: c["was"] for c in got["changed_formula"]}
    kept_ids = [k for k in now if k not in got["new"]]
    assert sorted(got["new"] + kept_ids) == sorted(now)
    was = [renamed.get(k, k) for k in kept_ids]
    assert len(set(was)) == len(was) and set(was) <= set(before)
    assert sorted(got["gone"] + was) == sorted(before)
    assert got["rows"] == {"before": 300, "now": 700, "added": 400, "removed": 0}
    touched = set(renamed)
    for name in ("grew", "shrank", "became_known", "became_new", "law_changed"):
        assert set(got[name]) <= set(kept_ids)
        touched |= set(got[name])
    assert got["counts"]["unchanged"] == len(kept_ids) - len(touched)
    assert got["counts"]["new"] > 0 and got["counts"]["unchanged"] > 0


# ---- comparing two summaries ---------------------------------------------------------------
def _s(key, members, verdict="new", law=None):
    return KeptStructure(key, f"formula of {key}", tuple(members), 0, verdict, law)


# earlier structures, this run's, the earlier row each row of this run is, the lists told,
# how many of this run's structures are unchanged
COMPARED = {
    "nothing changed": (
        [_s("p", [0, 1]), _s("q", [2, 3])],
        [_s("p", [0, 1]), _s("q", [2, 3])],
        None,
        {},
        2,
    ),
    "reordered rows": ([_s("p", [0, 1])], [_s("p", [5, 4])], [-1, -1, -1, -1, 1, 0], {}, 1),
    "grew and shrank": (
        [_s("p", [0, 1]), _s("q", [2, 3, 4]), _s("r", [5])],
        [_s("p", [0, 1, 5]), _s("q", [2, 3]), _s("r", [6])],
        None,
        {"grew": ["p"], "shrank": ["q"]},
        1,
    ),
    "verdicts": (
        [_s("p", [0]), _s("q", [1], "known", "ohm_law"), _s("r", [2], "known", "ohm_law")],
        [_s("p", [0], "known", "ohm_law"), _s("q", [1]), _s("r", [2], "known", "hooke_law")],
        None,
        {"became_known": ["p"], "became_new": ["q"], "law_changed": ["r"]},
        0,
    ),
    "new and gone": (
        [_s("p", [0, 1])],
        [_s("q", [2, 3])],
        [0, 1, 2, 3],
        {"new": ["q"], "gone": ["p"]},
        0,
    ),
    "new formula, same rows": (
        [_s("p", [0, 1, 2])],
        [_s("q", [0, 1, 2])],
        [0, 1, 2],
        {"changed_formula": [{"id": "q", "was": "p"}]},
        0,
    ),
    "new formula, new rows joined": (
        [_s("p", [0, 1, 2])],
        [_s("q", [0, 1, 2, 3, 4, 5, 6, 7], "known", "ohm_law")],
        [0, 1, 2, -1, -1, -1, -1, -1],
        {"changed_formula": [{"id": "q", "was": "p"}], "grew": ["q"], "became_known": ["q"]},
        0,
    ),
    "new formula, rows left the bank": (
        [_s("p", [0, 1, 2, 3, 4, 5])],
        [_s("q", [0, 1])],
        [0, 1],
        {"changed_formula": [{"id": "q", "was": "p"}], "shrank": ["q"]},
        0,
    ),
    "half of the earlier members": (
        [_s("p", [0, 1, 2, 3])],
        [_s("q", [0, 1]), _s("r", [2, 3])],
        [0, 1, 2, 3],
        {"new": ["q", "r"], "gone": ["p"]},
        0,
    ),
    "the earlier members among rows held before": (
        [_s("p", [0, 1])],
        [_s("q", [0, 1, 2, 3, 4])],
        [0, 1, 2, 3, 4],
        {"new": ["q"], "gone": ["p"]},
        0,
    ),
    "the id is kept, whatever the members": (
        [_s("p", [0, 1]), _s("q", [2, 3])],
        [_s("q", [0, 1]), _s("p", [2, 3])],
        [0, 1, 2, 3],
        {},
        2,
    ),
    "a kept id is not taken by shared members": (
        [_s("p", [0, 1, 2]), _s("q", [3])],
        [_s("p", [3]), _s("r", [0, 1, 2])],
        [0, 1, 2, 3],
        {"new": ["r"], "shrank": ["p"], "gone": ["q"]},
        0,
    ),
    "an earlier structure is paired once": (
        [_s("p", [0, 1, 2])],
        [_s("q", [0, 1, 2]), _s("r", [0, 1, 2])],
        [0, 1, 2],
        {"changed_formula": [{"id": "q", "was": "p"}], "new": ["r"]},
        0,
    ),
    "rows not told": (
        [_s("p", [0, 1])],
        [_s("q", [0, 1])],
        None,
        {"new": ["q"], "gone": ["p"]},
        0,
    ),
    "two new formulas": (
        [_s("p", [0, 1, 2]), _s("t", [3, 4, 5])],
        [_s("r", [3, 4, 5]), _s("q", [0, 1, 2])],
        [0, 1, 2, 3, 4, 5],
        {"changed_formula": [{"id": "r", "was": "t"}, {"id": "q", "was": "p"}]},
        0,
    ),
}


@pytest.mark.parametrize("case", sorted(COMPARED))
def test_comparing_with_the_earlier_structures(case):
    before, now, matched, told, unchanged = COMPARED[case]
    got = changes.compare(before, now, matched)
    assert {name: got[name] for name in changes.LISTS if got[name]} == told
    assert got["counts"] == {
        **{name: len(told.get(name, [])) for name in changes.LISTS},
        "unchanged": unchanged,
    }
    # what each earlier structure the lists name was: the gone ones and those that changed
    by_key = {s.key: s for s in before}
    named = set(told.get("gone", [])) | {e["was"] for e in told.get("changed_formula", [])}
    for name in ("grew", "shrank", "became_known", "became_new", "law_changed"):
        named |= set(told.get(name, [])) & set(by_key)
    assert got["earlier"] == {
        k: {
            "formula": by_key[k].formula,
            "members": len(by_key[k].members),
            "verdict": by_key[k].verdict,
            "law": by_key[k].law,
        }
        for k in named
    }


def _told(counts, rows=None, first=False, recorded=True, structures=5):
    return {
        "first": first,
        "recorded": recorded,
        "structures": structures,
        "rows": rows,
        "counts": {**{name: 0 for name in changes.LISTS}, **counts},
    }


@pytest.mark.parametrize(
    "result, said",
    [
        (_told({}), "no change in the structures"),
        (_told({"new": 1}), "1 new structure"),
        (
            _told({"new": 3, "grew": 2, "became_known": 1}, {"added": 40, "removed": 0}),
            "3 new structures, 2 grew, 1 became known; 40 rows added",
        ),
        (
            _told({"gone": 1234, "changed_formula": 2, "law_changed": 1, "became_new": 1}),
            "2 changed their formulas, 1 became new, 1 now another law, 1,234 gone",
        ),
        (
            _told({"changed_formula": 1, "law_changed": 2, "shrank": 1}),
            "1 changed its formula, 1 shrank, 2 now other laws",
        ),
        (_told({}, {"added": 0, "removed": 1}), "no change in the structures; 1 row removed"),
        (_told({"grew": 1}, {"added": 1, "removed": 2}), "1 grew; 1 row added, 2 removed"),
        (_told({}, {"added": 0, "removed": 0}), "no change in the structures"),
    ],
)
def test_what_changed_is_told_in_a_line(result, said):
    assert changes.text(result) == f"Since the last run of this state: {said}"


@pytest.mark.parametrize(
    "result, said",
    [
        (
            _told({}, first=True, recorded=False, structures=1),
            "First run of this state: 1 structure",
        ),
        (
            _told({}, first=True, recorded=False, structures=0),
            "First run of this state: 0 structures",
        ),
        (
            _told({}, {"added": 2, "removed": 0}, recorded=False, structures=1200),
            "The state holds no record of its earlier structures: 1,200 structures now; "
            "2 rows added",
        ),
    ],
)
def test_a_run_with_nothing_to_compare_says_why(result, said):
    assert changes.text(result) == said


# ---- the command line, once the run's document and report carry the changes ----------------
def _first_line(out):
    """The report's first line, after the line that names the bank and the library."""
    lines = out.splitlines()
    assert lines[0].startswith("KELTRAN:")
    return lines[1]


def test_the_document_and_the_report_tell_the_changes(runs):
    runs(FIRST)
    told = runs.doc["changes"]
    assert told["first"] is True and told["text"] == "First run of this state: 4 structures"
    assert _first_line(runs.out) == told["text"]
    runs(FIRST + A[6:] + C)
    told = runs.doc["changes"]
    ids = {c["id"]: [m["id"] for m in c["members"]] for c in runs.doc["candidates"]}
    (grown,) = [k for k, members in ids.items() if "a0" in members]
    (fresh,) = [k for k, members in ids.items() if "c0" in members]
    assert told["grew"] == [grown] and told["new"] == [fresh] and told["gone"] == []
    assert told["earlier"][grown]["members"] == 6 and len(ids[grown]) == 10
    said = "Since the last run of this state: 1 new structure, 1 grew; 10 rows added"
    assert told["text"] == said and _first_line(runs.out) == said
    runs(FIRST + A[6:] + C)
    said = "Since the last run of this state: no change in the structures"
    assert runs.doc["changes"]["text"] == said and _first_line(runs.out) == said
