"""A run's kept state (`keltran detect --state DIR`): a bank that grows is described and measured
only where it is new, the result is that of a run from scratch, and a state that does not fit
the run is refused without being touched."""

import json
import math
import random

import numpy as np
import pytest
import sympy as sp

from source.bank import exprcode
from source.bank.feynman import load_bank
from source.bank.laws import load_library
from source.cli import detect as detect_command
from source.cli import entry as cli
from source.engine import kt
from source.run import detect as run
from source.run import filtering, graph, matching, native_rows, runner, scoring
from source.run.describe import describe_one
from source.run.results import DescribedExprs, Found
from source.state import clusters, records, reuse, store
from source.state import kept as kept_state


# ---- expressions as data -------------------------------------------------------------------
@pytest.mark.parametrize(
    "text",
    [
        "x*1.5e-3 + 2.0",
        "max(x, y) + heaviside(x)",
        "Abs(x)**(1/3)",
        "E**x + I*y",
        "gamma(x)*floor(y)",
        "mod(x, 3) - 7/11",
        "x**0.5 - 1e300*y",
        "-x",
        "pi*sqrt(2)*exp(-t**2/2)",
        "log(x, 10) + atanh(y)",
        "123456789012345678901234567890*x",
        "0.1000000000000000055511151231257827",
    ],
)
def test_expressions_read_back_exactly(text):
    from source.bank.parsing import parse_formula

    expr = parse_formula(text)
    tokens = exprcode.encode(expr)
    assert tokens is not None
    back = exprcode.decode(json.loads(json.dumps(tokens)))
    assert sp.srepr(back) == sp.srepr(expr) and str(back) == str(expr)


def test_parts_outside_the_code_are_not_encoded():
    x = sp.Symbol("x", positive=True)
    assert exprcode.encode(x + 1) is None
    assert exprcode.encode(sp.Function("f")(sp.Symbol("y"))) is None
    assert exprcode.encode(sp.Piecewise((sp.Symbol("y"), sp.Symbol("y") > 0), (0, True))) is None


@pytest.mark.parametrize(
    "tokens",
    [
        [["o", "Add", 1]],
        [["x"]],
        5,
        [],
        [["c", "__import__"]],
        [["o", "__import__", 1]],
        [["i", "1"], ["i", "2"]],
        [["f", 0, "0x1", 0, 1, 0]],
        [["s", 7]],
        [["i", "9" * 6000]],
        [["o", "Add", 0]],
        [["s", "x"], ["o", "Add", -1]],
        [["o", "eval", 1]],
        "[['s', 'x']]",
        [["s", "x"]]
        + [["o", "exp", 1]] * 50_000,  # deeper than anything written: no recursion later
    ],
)
def test_malformed_tokens_are_refused(tokens):
    with pytest.raises(exprcode.CodeError):
        exprcode.decode(tokens)


# ---- which kept rows keep their pairs ------------------------------------------------------
@pytest.mark.parametrize(
    "old, kept",
    [
        ([0, 1, 2], [0, 1, 2]),
        ([-1, 0, -1, 1], [-1, 0, -1, 1]),
        ([2, 0, 1], [-1, 0, 1]),
        ([5, 0, 1, 2], [-1, 0, 1, 2]),
        ([], []),
        ([-1, -1], [-1, -1]),
    ],
)
def test_rows_in_order(old, kept):
    assert reuse.in_order(old) == kept


def test_rows_in_order_is_a_longest_increasing_run():
    rng = random.Random(3)
    for _ in range(200):
        n = rng.randint(0, 12)
        old = rng.sample(range(20), n)
        old = [k if rng.random() < 0.8 else -1 for k in old]
        got = reuse.in_order(old)
        chosen = [k for k in got if k >= 0]
        assert chosen == sorted(chosen) and all(g in (-1, o) for g, o in zip(got, old))
        # The longest increasing subsequence by quadratic search.
        values = [k for k in old if k >= 0]
        best = [1] * len(values)
        for i in range(len(values)):
            for j in range(i):
                if values[j] < values[i]:
                    best[i] = max(best[i], best[j] + 1)
        assert len(chosen) == max(best, default=0)


# ---- the graph from known pairs ------------------------------------------------------------
@pytest.fixture(scope="module")
def described(m):
    exprs = [f.expr for f in load_bank()]
    rng = random.Random(1)
    variants = []
    for e in exprs[:60]:
        s = sorted(e.free_symbols, key=str)[0]
        variants.append(e.xreplace({s: s**2}) if rng.random() < 0.5 else 3 * e)
    with np.errstate(all="ignore"):
        return [describe_one(e, None, 0) for e in exprs + variants]


@pytest.mark.parametrize("threshold", [0.6, 0.85])
@pytest.mark.parametrize("pattern", ["tail", "scattered", "none", "all"])
def test_graph_from_known_pairs_equals_the_whole_graph(described, threshold, pattern):
    n = len(described)
    whole = graph.similarity_graph(described, threshold, 0.85, 0.15, block_size=37)
    rng = random.Random(7)
    known = {
        "tail": [i < n - 25 for i in range(n)],
        "scattered": [rng.random() < 0.7 for _ in range(n)],
        "none": [False] * n,
        "all": [True] * n,
    }[pattern]
    mask = np.array(known)
    inside = mask[whole[0]] & mask[whole[1]]
    edges = (whole[0][inside], whole[1][inside], whole[2][inside])
    got = graph.extend_graph(described, known, edges, threshold, 0.85, 0.15, block_size=16)
    for a, b in zip(got[:3], whole[:3]):
        assert np.array_equal(a, b)


# ---- the command line ----------------------------------------------------------------------
def _variants(n, seed):
    """n distinct formulas with ranges: the Feynman rows and variants of them."""
    rng = random.Random(seed)
    rows, seen = [], set()
    base = load_bank()
    for f in base:
        rows.append(
            {
                "id": f.id,
                "formula": str(f.expr),
                "ranges": {k: list(v) for k, v in f.bounds.items()},
            }
        )
        seen.add(str(f.expr))
    while len(rows) < n:
        f = rng.choice(base)
        s = rng.choice(sorted(f.expr.free_symbols, key=str))
        e = rng.choice(
            [
                f.expr.xreplace({s: s**2}),
                rng.randint(2, 9) * f.expr,
                f.expr + s,
                f.expr.xreplace({s: sp.sin(s)}),
            ]
        )
        if str(e) in seen:
            continue
        seen.add(str(e))
        rows.append(
            {
                "id": f"v{len(rows)}",
                "formula": str(e),
                "ranges": {k: list(v) for k, v in f.bounds.items()},
            }
        )
    return rows[:n]


@pytest.fixture(scope="module")
def rows():
    return _variants(170, 5)


def _detect(tmp_path, capsys, banks, *options):
    paths = []
    for k, bank in enumerate(banks):
        path = tmp_path / f"bank{k}.json"
        path.write_text(json.dumps(bank))
        paths.append(str(path))
    out_json = tmp_path / "out.json"
    code = cli.main(["detect", *paths, "--quiet", "--json", str(out_json), *options])
    captured = capsys.readouterr()
    doc = json.loads(out_json.read_text()) if code == 0 else None
    if doc is not None:
        doc["settings"].pop("bank")  # the files' names
        # what changed since the state's last run, which a run from scratch cannot tell
        doc.pop("changes", None)
    return code, captured.out, captured.err, doc


def _here(monkeypatch):
    """Runs of the command line from here on work in this process, where calls can be counted."""
    monkeypatch.setattr(detect_command, "local_runner", runner.InProcess)


def _counting(monkeypatch):
    """The formulas of the bank described from here on."""
    _here(monkeypatch)
    calls = []
    describe = reuse.describe_rows

    def counted(rows, *args, **kwargs):
        calls.extend(r.formula for r in rows)
        return describe(rows, *args, **kwargs)

    monkeypatch.setattr(reuse, "describe_rows", counted)
    return calls


def _measuring(monkeypatch):
    """The clusters scored from here on whose parts were measured, not taken from a state,
    natively or by `score_one`."""
    _here(monkeypatch)
    measured = []
    score = scoring.score_one

    def counted(library, lib_descs, cluster, *args, **kwargs):
        if (args[3] if len(args) > 3 else kwargs.get("parts")) is None:
            measured.append(len(cluster))
        return score(library, lib_descs, cluster, *args, **kwargs)

    monkeypatch.setattr(scoring, "score_one", counted)
    native = scoring.score_native

    def counted_natively(library, lib_descs, clusters, *args):
        # Those the native path leaves are measured by score_one, and counted there.
        accounts = native(library, lib_descs, clusters, *args)
        measured.extend(len(c) for c, a in zip(clusters, accounts) if a is not None)
        return accounts

    monkeypatch.setattr(scoring, "score_native", counted_natively)
    return measured


def _verdicts_measured(monkeypatch):
    """The structures matched against the library and the formulas measured against its
    compositions from here on."""
    _here(monkeypatch)
    matched, measured = [], []
    match, distances = matching.match_structure, filtering.distances_of

    def matching_(library, candidate, *args):
        matched.append(candidate.formula)
        return match(library, candidate, *args)

    def measuring(library, formulas):
        measured.extend(formulas)
        return distances(library, formulas)

    monkeypatch.setattr(matching, "match_structure", matching_)
    monkeypatch.setattr(filtering, "distances_of", measuring)
    return matched, measured


# The lines a run on a state gives first: what changed since the state's last run.
CHANGES = ("First run of this state:", "Since the last run of this state:", "The state holds no")


def _without_labels(text):
    return "\n".join(
        line for line in text.splitlines() if not line.startswith(("KELTRAN:", *CHANGES))
    )


@pytest.mark.parametrize("change", ["grown", "reordered", "shrunk", "repeated", "same"])
def test_a_kept_state_gives_the_result_from_scratch(tmp_path, capsys, monkeypatch, rows, change):
    first, later = (
        rows[:140],
        {
            "grown": rows,
            "reordered": rows[100:] + rows[:100],
            "shrunk": rows[:60] + rows[80:140],
            "repeated": rows[:140] + [dict(r, id=f"again{k}") for k, r in enumerate(rows[10:20])],
            "same": rows[:140],
        }[change],
    )
    kept = tmp_path / "kept"
    with monkeypatch.context() as patch:
        patch.setattr(records, "PACK_BLOCK", 32)  # blocks of kept rows: 4 whole ones and 12 rows
        code, _, err, _ = _detect(tmp_path, capsys, [first], "--state", str(kept))
        assert code == 0, err
        calls, measured = _counting(patch), _measuring(patch)
        matched, compared = _verdicts_measured(patch)
        rendered, packed = [], []
        report, pack = kt.candidate_report, native_rows.pack
        patch.setattr(kt, "candidate_report", lambda i, c: rendered.append(c) or report(i, c))
        patch.setattr(native_rows, "pack", lambda ds: packed.append(len(ds)) or pack(ds))
        built, expression = [], kept_state.Kept._expression
        patch.setattr(
            kept_state.Kept,
            "_expression",
            lambda self, k, row, name, d: built.append(name) or expression(self, k, row, name, d),
        )
        code, text, err, doc = _detect(tmp_path, capsys, [later], "--state", str(kept))
        assert code == 0, err
    new = {r["formula"] for r in later} - {r["formula"] for r in first}
    assert sorted(calls) == sorted(new)  # only what the state did not hold is described
    if change == "grown":  # the blocks of kept rows are taken packed
        assert sum(packed) == len(later) - 4 * 32
    if change == "same":  # every cluster's measures, verdicts, text and packed rows were kept
        assert (
            measured == [] and rendered == [] and matched == [] and compared == [] and packed == []
        )
        assert "expr" not in built and built  # no kept tree is read: only members' expressions
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    code, text_scratch, err, doc_scratch = _detect(scratch, capsys, [later], "--large")
    assert code == 0, err
    assert _without_labels(text) == _without_labels(text_scratch)
    assert doc == doc_scratch
    assert doc["counts"]["in_structures"] > 0


def test_a_state_grows_from_files_given_together(tmp_path, capsys, rows):
    kept = tmp_path / "kept"
    assert _detect(tmp_path, capsys, [rows[:150]], "--state", str(kept))[0] == 0
    code, text, err, doc = _detect(tmp_path, capsys, [rows[:150], rows[150:]], "--state", str(kept))
    assert code == 0, err
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    assert doc == _detect(scratch, capsys, [rows[:150], rows[150:]], "--large")[3]
    manifest = json.loads((kept / "manifest.json").read_text())
    assert manifest["rows"] == len(rows)
    assert sorted(p.name for p in kept.iterdir()) == sorted(
        ["manifest.json", *manifest["files"].values()]
    )


def test_a_state_scored_against_another_library_is_measured_again(
    tmp_path, capsys, monkeypatch, rows
):
    kept = tmp_path / "kept"
    assert _detect(tmp_path, capsys, [rows], "--state", str(kept))[0] == 0
    laws = tmp_path / "laws.txt"
    laws.write_text("m*v**2/2\nG*m1*m2/r**2\nq1*q2/(4*pi*epsilon*r**2)\n")
    measured = _measuring(monkeypatch)
    code, text, err, doc = _detect(
        tmp_path, capsys, [rows], "--state", str(kept), "--library", str(laws)
    )
    assert code == 0, err
    monkeypatch.undo()
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    every = _measuring(monkeypatch)
    assert doc == _detect(scratch, capsys, [rows], "--large", "--library", str(laws))[3]
    monkeypatch.undo()
    assert measured and sorted(measured) == sorted(every)


def test_a_state_kept_and_grown_on_dask_workers(tmp_path, capsys, rows):
    dask = pytest.importorskip("dask.distributed")
    kept = tmp_path / "kept"
    with dask.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        address = cluster.scheduler_address
        assert (
            _detect(tmp_path, capsys, [rows[:120]], "--state", str(kept), "--dask", address)[0] == 0
        )
        code, text, err, doc = _detect(
            tmp_path, capsys, [rows], "--state", str(kept), "--dask", address
        )
    assert code == 0, err
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    code, text_scratch, err, doc_scratch = _detect(scratch, capsys, [rows], "--large")
    assert _without_labels(text) == _without_labels(text_scratch)
    assert doc == doc_scratch


def _kept(tmp_path, capsys, rows, *options):
    kept = tmp_path / "kept"
    code, _, err, _ = _detect(tmp_path, capsys, [rows[:80]], "--state", str(kept), *options)
    assert code == 0, err
    return kept


def _snapshot(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize(
    "options, said",
    [
        (["--sim-threshold", "0.8"], "kept with --sim-threshold 0.85, and this run asks for 0.8"),
        (["--seed", "3"], "kept with --seed 0, and this run asks for 3"),
        (["--alpha", "0.7"], "kept with --alpha 0.85, and this run asks for 0.7"),
        (["--no-ranges"], "kept without --no-ranges, and this run asks with it"),
        (
            ["--alpha", "0.85"],
            "kept with --beta 0.15, and this run asks for 0.15000000000000002",
        ),  # 1 - 0.85
    ],
)
def test_a_state_of_other_settings_is_refused(tmp_path, capsys, rows, options, said):
    kept = _kept(tmp_path, capsys, rows)
    before = _snapshot(kept)
    code, _, err, _ = _detect(tmp_path, capsys, [rows], "--state", str(kept), *options)
    assert code == 1
    assert said in err and "give another --state folder" in err
    assert _snapshot(kept) == before


def _rewrite_manifest(kept, change):
    path = kept / "manifest.json"
    manifest = json.loads(path.read_text())
    change(manifest)
    path.write_text(json.dumps(manifest))


def _damage_part(kept, part, change):
    manifest = json.loads((kept / "manifest.json").read_text())
    path = kept / manifest["files"][part]
    path.write_bytes(change(path.read_bytes()))
    return manifest, path


def _forge_bytes(kept, part, change):
    """Rewrites a file of the state and its checksum: damage that the checksum cannot see."""
    import hashlib

    manifest, path = _damage_part(kept, part, change)
    manifest["sha256"][part] = hashlib.sha256(path.read_bytes()).hexdigest()
    (kept / "manifest.json").write_text(json.dumps(manifest))


def _forge_rows(kept, change, part="rows"):
    """Rewrites a JSON file of the state and its checksum."""
    _forge_bytes(kept, part, lambda b: json.dumps(change(json.loads(b))).encode())


def _kept_clusters(kept):
    """[members, parts] of every cluster a state keeps."""
    return json.loads(
        (kept / json.loads((kept / "manifest.json").read_text())["files"]["clusters"]).read_bytes()
    )["clusters"]


def _poisoned_member(kept, change):
    """Forges the record of the first member of a kept structure, which the run reads again (a
    kept row is read only where something looks at it); the row forged."""
    member = min(rows[0] for rows, parts in _kept_clusters(kept) if parts.get("kept"))
    _forge_rows(kept, lambda data: change(data["rows"][member]) or data)
    return member


DAMAGE = {
    "another version": (
        lambda k: _rewrite_manifest(k, lambda m: m.update(version="0.0.1")),
        f"written by keltran 0.0.1 (state format {store.FORMAT})",
    ),
    "another format": (
        lambda k: _rewrite_manifest(k, lambda m: m.update({"keltran state": 99})),
        "(state format 99)",
    ),
    "flipped byte": (
        lambda k: _damage_part(k, "graph", lambda b: b[:-40] + bytes([b[-40] ^ 1]) + b[-39:]),
        "does not match its checksum",
    ),
    "missing file": (
        lambda k: (k / json.loads((k / "manifest.json").read_text())["files"]["vectors"]).unlink(),
        "is missing",
    ),
    "torn manifest": (
        lambda k: (k / "manifest.json").write_text('{"keltran state": 1, "vers'),
        "the state is damaged",
    ),
    "file outside": (
        lambda k: _rewrite_manifest(k, lambda m: m["files"].update(rows="../../etc/passwd")),
        "names a file outside the folder",
    ),
    "forged tokens": (
        lambda k: _poisoned_member(
            k, lambda r: r.update(expr=json.dumps([["s", "x"], ["o", "__import__", 1]]))
        ),
        "the state is damaged (row {}:",
    ),
    "forged vector": (
        lambda k: _poisoned_member(k, lambda r: r.update(vectors=[10**9, 1])),
        "names a vector the state does not hold",
    ),
    "nested manifest": (
        lambda k: (k / "manifest.json").write_text("[" * 100_000 + "]" * 100_000),
        "the state is damaged",
    ),
    "torn graph": (lambda k: _forge_bytes(k, "graph", lambda b: b[:1000]), "the state is damaged"),
    "verdict at NaN": (lambda k: _forge_rows(k, _nan_verdict, "clusters"), "a cluster's verdicts"),
    "forged fields": (
        lambda k: _forge_rows(k, lambda d: d.update(fields=d["fields"][:-1]) or d),
        "other fields",
    ),
    "forged verdict": (
        lambda k: _forge_rows(k, _false_verdict, "clusters"),
        "a cluster's verdicts",
    ),
    "flipped byte of the structures": (
        lambda k: _damage_part(k, "structures", lambda b: b[:-10] + bytes([b[-10] ^ 1]) + b[-9:]),
        "does not match its checksum",
    ),
    "structures without a checksum": (
        lambda k: _rewrite_manifest(k, lambda m: m["sha256"].pop("structures")),
        "does not match its checksum",
    ),
    "missing structures": (
        lambda k: (
            k / json.loads((k / "manifest.json").read_text())["files"]["structures"]
        ).unlink(),
        "is missing",
    ),
    "torn structures": (
        lambda k: _forge_bytes(k, "structures", lambda b: b[: len(b) // 2]),
        "the state is damaged",
    ),
    "structure of a row not kept": (
        lambda k: _forge_rows(
            k, lambda d: d["structures"][0].update(members=[10**6]) or d, "structures"
        ),
        "the record of its structures is malformed",
    ),
    "structure of a verdict not made": (
        lambda k: _forge_rows(
            k, lambda d: d["structures"][0].update(verdict="maybe") or d, "structures"
        ),
        "the record of its structures is malformed",
    ),
    "structure without its id": (
        lambda k: _forge_rows(k, lambda d: d["structures"][0].pop("id") and d, "structures"),
        "the record of its structures is malformed",
    ),
    "structure named twice": (
        lambda k: _forge_rows(
            k, lambda d: d["structures"].append(d["structures"][0]) or d, "structures"
        ),
        "names a structure twice",
    ),
    "structures of another shape": (
        lambda k: _forge_rows(k, lambda d: {"structures": {"s1": []}}, "structures"),
        "the record of its structures is malformed",
    ),
}


def _nan_verdict(data):
    """Every kept member's verdict at a distance no run writes."""
    forged = [parts["match"] for _, parts in data["clusters"] if "match" in parts]
    assert forged, "no structure kept its verdicts"
    for match in forged:
        match["members"] = [
            {"law": "x", "kind": "exact", "distance": float("nan"), "mapping": None}
        ] * len(match["members"])
    return data


def _false_verdict(data):
    forged = [parts["match"] for _, parts in data["clusters"] if "match" in parts]
    assert forged, "no structure kept its verdicts"
    for match in forged:
        match["members"] = match["members"][1:]  # one member short
    return data


@pytest.mark.parametrize("damage", sorted(DAMAGE))
def test_a_damaged_or_foreign_state_is_refused(tmp_path, capsys, rows, damage):
    kept = _kept(tmp_path, capsys, rows)
    harm, said = DAMAGE[damage]
    member = harm(kept)
    if isinstance(member, int):  # the row forged, which the message names
        said = said.format(member + 1)
    before = _snapshot(kept)
    code, _, err, _ = _detect(tmp_path, capsys, [rows], "--state", str(kept))
    assert code == 1, err
    assert said in err and "keltran: error:" in err
    assert _snapshot(kept) == before


def test_a_folder_of_other_files_is_not_taken_for_a_state(tmp_path, capsys, rows):
    folder = tmp_path / "results"
    folder.mkdir()
    (folder / "notes.txt").write_text("mine")
    code, _, err, _ = _detect(tmp_path, capsys, [rows[:20]], "--state", str(folder))
    assert code == 1 and "not a keltran state" in err
    assert _snapshot(folder) == {"notes.txt": b"mine"}
    a_file = tmp_path / "a_file"
    a_file.write_text("x")
    code, _, err, _ = _detect(tmp_path, capsys, [rows[:20]], "--state", str(a_file))
    assert code == 1 and "not a folder" in err


def test_a_failed_write_leaves_the_previous_state(tmp_path, capsys, monkeypatch, rows):
    kept = _kept(tmp_path, capsys, rows)
    before = _snapshot(kept)

    def full_disk(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(store.np, "savez", full_disk)
    code, _, err, _ = _detect(tmp_path, capsys, [rows], "--state", str(kept))
    assert code == 1 and "cannot keep the state: No space left on device" in err
    assert _snapshot(kept) == before
    monkeypatch.undo()
    assert _detect(tmp_path, capsys, [rows], "--state", str(kept))[0] == 0


def _zeroed_packs(kept):
    import io

    def zeroed(data):
        with np.load(io.BytesIO(data)) as arrays:
            arrays = {name: arrays[name] for name in arrays.files}
        arrays["packs"] = np.zeros_like(arrays["packs"])
        buffer = io.BytesIO()
        np.savez(buffer, **arrays)
        return buffer.getvalue()

    _forge_bytes(kept, "graph", zeroed)


def _forged_row_alone(change):
    """Forges the record of a kept row in no structure, which a run on the same rows never reads."""

    def harm(kept):
        alone = min(set(range(64)) - {r for members, _ in _kept_clusters(kept) for r in members})
        _forge_rows(kept, lambda data: change(data["rows"][alone]) or data)

    return harm


def _retyped(record):
    fields = json.loads(record["fields"])
    fields["root_type"] = ["i", 5]
    record["fields"] = json.dumps(fields)


@pytest.mark.parametrize(
    "harm, later, said",
    [
        (
            _forged_row_alone(lambda r: r.update(vectors=[10**9, 1])),
            slice(0, 64),
            "names a vector the state does not hold",
        ),
        (_zeroed_packs, slice(0, 80), "the packed rows are malformed"),
        (
            _forged_row_alone(_retyped),
            slice(63, None, -1),
            "a kept row's descriptor is not one describe() makes",
        ),
    ],
    ids=["vector of a row left alone", "zeroed packing", "field of another type"],
)
def test_damage_the_run_meets_late_is_refused_before_any_output(
    tmp_path, capsys, monkeypatch, rows, harm, later, said
):
    """Kept rows are read where a run looks at them, and blocks of them are taken packed: damage
    met there is refused as damage, before any output is written, the state untouched."""
    monkeypatch.setattr(records, "PACK_BLOCK", 32)
    kept = tmp_path / "kept"
    assert _detect(tmp_path, capsys, [rows[:64]], "--state", str(kept))[0] == 0
    harm(kept)
    before, document = _snapshot(kept), (tmp_path / "out.json").read_bytes()
    code, out, err, _ = _detect(tmp_path, capsys, [rows[later]], "--state", str(kept))
    assert code == 1 and said in err, err
    assert "Traceback" not in err and "=== Structures" not in out
    assert _snapshot(kept) == before and (tmp_path / "out.json").read_bytes() == document


@pytest.mark.parametrize(
    "options, said",
    [
        (["--behavior"], "needs the dense path"),
        ([], "give the BANK files"),
        (["--state", ""], "--state needs a folder"),
    ],
)
def test_state_usage_errors(tmp_path, capsys, options, said):
    with pytest.raises(SystemExit) as stop:
        cli.main(
            ["detect", *(["bank.txt"] if options else []), "--state", str(tmp_path / "s"), *options]
        )
    assert stop.value.code == 2 and said in capsys.readouterr().err


def test_kept_descriptors_are_the_described_ones(m, tmp_path, rows):
    """Every field read back from a state is the field described, of the same type."""
    from source.bank.files import read_rows

    path = tmp_path / "bank.json"
    path.write_text(json.dumps(rows[:40]))
    bank = read_rows([str(path)])
    library = load_library()
    with np.errstate(all="ignore"):
        outcomes, _, _ = reuse.describe(None, bank, True, 0)
        descriptors = [o[2] for o in outcomes]
        done = run.detect(
            [r.made_up for r in bank],
            DescribedExprs(descriptors),  # rows read natively build their expressions when asked
            library,
            large=True,
            seed=0,
            descriptors=descriptors,
            verbose=False,
            filter=False,
        )
    settings = {"seed": 0, "use_ranges": True, "sim_threshold": 0.85, "alpha": 0.85, "beta": 0.15}
    store.write(tmp_path / "kept", done, bank, [o[0] for o in outcomes], settings, library)
    kept = store.read(tmp_path / "kept", settings)
    for k, (row, d) in enumerate(zip(bank, descriptors)):
        lhs, expr, back, text = kept.outcome(k, row)
        assert (
            expr is None
            and back.numeric_expr == d.numeric_expr
            and back.expr == d.expr
            and text == str(d.numeric_expr)
        )
        for name in records.field_names():
            a, b = getattr(back, name), getattr(d, name)
            assert type(a) is type(b), name
            assert (
                np.array_equal(a, b, equal_nan=True)
                if isinstance(a, np.ndarray)
                else (a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b)))
            ), name
    assert m.pack_descriptors(
        [kept.outcome(k, r)[2] for k, r in enumerate(bank)]
    ) == m.pack_descriptors(descriptors)
    # A kept descriptor travels to a worker as the plain descriptor it stands for.
    import pickle

    back = pickle.loads(runner.dumps(kept.outcome(3, bank[3])[2]))
    assert type(back) is m.ExprDescriptor and back.numeric_expr == descriptors[3].numeric_expr
    assert m.pack_descriptors([back]) == m.pack_descriptors(descriptors[3:4])


def test_kept_verdicts_read_back_as_measured(m, tmp_path, rows):
    """A structure's library verdicts, bindings and their texts survive the state's JSON."""
    from source.bank.files import read_rows

    path = tmp_path / "bank.json"
    path.write_text(json.dumps(rows[:60]))
    bank = read_rows([str(path)])
    with np.errstate(all="ignore"):
        outcomes, _, _ = reuse.describe(None, bank, True, 0)
        descriptors = [o[2] for o in outcomes]
        done = run.detect(
            [r.made_up for r in bank],
            DescribedExprs(descriptors),
            load_library(),
            large=True,
            seed=0,
            descriptors=descriptors,
            verbose=False,
            filter=False,
        )
    assert any(b for f in done.found for b in f.bindings) and any(f.match for f in done.found)
    for f in done.found:
        record = json.loads(json.dumps(clusters.match_record(f, done.settings["near_threshold"])))
        back = clusters.match_of(record, len(f.rows))
        assert back == (f.match, f.member_matches, f.bindings, f.binding_texts)
        assert clusters.match_record(Found(f.candidate, f.cluster, f.rows, *back), 0.15) == dict(
            record, near=0.15
        )  # kept again as read, without decoding


def test_dask_payloads_travel_with_expressions_as_tokens(m):
    """What goes to and comes from the workers loads back as it was, sympy's own pickles kept
    for what the tokens do not write."""
    import pickle

    x, y = sp.symbols("x y")
    positive = sp.Symbol("p", positive=True)
    describe = m.describe(x**2 * sp.sin(y) + 3)
    payload = [
        (x**2 + 1.5, [sp.Piecewise((x, x > 0), (0, True)), positive * x]),
        {"d": describe},
        x,
        sp.pi,
    ]
    back = pickle.loads(runner.dumps(payload))
    assert sp.srepr(back[0]) == sp.srepr(payload[0]) and back[2] is x and back[3] is sp.pi
    assert back[1]["d"].expr == describe.expr and back[1]["d"].numeric_expr == describe.numeric_expr
    assert np.array_equal(back[1]["d"].behavior_vec, describe.behavior_vec, equal_nan=True)
    assert m.pack_descriptors([back[1]["d"]]) == m.pack_descriptors([describe])
