"""The stages after scoring on rows read natively are the Python path's: a structure matched on
its rows' trees gets the same library verdicts, bindings and texts; a formula's composition
distance on its native tree is the one measured through sympy; a structure's block described
natively is `candidate_report`'s. Each is compared on real banks with the Python path, which
the tests reach by turning the native piece off."""

import contextlib
import io
import json
import math
import warnings

import formulas
import numpy as np
import pytest
import sympy as sp

from source.bank.feynman import load_bank
from source.bank.laws import load_library
from source.cli import detect as detect_command
from source.cli import entry as cli
from source.engine import kt
from source.judge.canonical import SNAP_TOLERANCE
from source.run import filtering, matching, native_rows, runner
from source.run.describe import formula_seed

SR_HEADER, *SR_ROWS = formulas.SR_BANK.read_text().splitlines()


def _write_banks(tmp):
    """Banks as files give them: the Feynman formulas, a share of the symbolic-regression output
    with its ranges, structural variants of the Feynman formulas and random formulas."""
    paths = {}
    texts = {
        "feynman": list(formulas.feynman()),
        "variants": list(formulas.variants(200)),
        "random": list(formulas.random_texts(200, seed=5)),
    }
    for name, rows in texts.items():
        paths[name] = tmp / f"{name}.json"
        paths[name].write_text(json.dumps(rows))
    paths["regression"] = tmp / "regression.csv"
    paths["regression"].write_text("\n".join([SR_HEADER, *SR_ROWS[::9]]) + "\n")
    return paths


@pytest.fixture(scope="module")
def banks(tmp_path_factory):
    return _write_banks(tmp_path_factory.mktemp("structure_banks"))


class Stages:
    """Runs of the command line in this process with the native pieces of the stages after
    scoring on or off, recording each structure's match and how often the native pieces
    decided."""

    def __init__(self, monkeypatch):
        self.patch = monkeypatch
        self.real = (matching.trees_of, filtering.distances_of, kt._structure_report)
        self.matched: list[tuple[str, matching.Matched]] = []
        self.decided = {"match": 0, "report": 0, "distances": 0}
        monkeypatch.setattr(detect_command, "local_runner", runner.InProcess)
        match_structure = matching.match_structure

        def recorded(*args, **kwargs):
            out = match_structure(*args, **kwargs)
            self.matched.append((str(args[1].formula), out))
            return out

        monkeypatch.setattr(matching, "match_structure", recorded)
        native_match = kt._match_structure

        def counted(*args, **kwargs):
            out = native_match(*args, **kwargs)
            self.decided["match"] += out is not None
            return out

        monkeypatch.setattr(kt, "_match_structure", counted)

    def _native(self, on):
        trees_of, distances_of, report = self.real

        def counted_report(*args):
            out = report(*args)
            self.decided["report"] += out is not None
            return out

        def counted_distances(library, formulas):
            self.decided["distances"] += len(formulas)
            return distances_of(library, formulas)

        def python_distances(library, formulas):
            return kt._composition_distances(list(formulas), library, native=False)

        self.patch.setattr(matching, "trees_of", trees_of if on else lambda d: None)
        self.patch.setattr(filtering, "distances_of", counted_distances if on else python_distances)
        self.patch.setattr(kt, "_structure_report", counted_report if on else lambda *a: None)

    def run(self, tmp_path, bank, native, *options):
        self._native(native)
        self.matched = []
        out = tmp_path / f"{'native' if native else 'python'}.json"
        with contextlib.redirect_stdout(io.StringIO()):
            code = cli.main(["detect", str(bank), "--quiet", "--json", str(out), *options])
        assert code == 0
        doc = json.loads(out.read_text())
        doc.pop("runs")  # times
        return doc, self.matched


def _bindings(bindings):
    return [
        None if b is None else [(sp.srepr(k), sp.srepr(v)) for k, v in b.items()] for b in bindings
    ]


@pytest.mark.parametrize(
    "bank, options",
    [
        ("feynman", ()),
        ("feynman", ("--near-threshold", "0.4", "--min-members", "3")),
        ("variants", ()),
        ("random", ("--large",)),
        ("regression", ()),
        ("regression", ("--large", "--near-threshold", "0.3")),
    ],
)
def test_the_stages_after_scoring_are_the_python_paths(banks, bank, options, tmp_path, monkeypatch):
    stages = Stages(monkeypatch)
    doc, matched = stages.run(tmp_path, banks[bank], True, *options)
    decided = dict(stages.decided)
    reference, reference_matched = stages.run(tmp_path, banks[bank], False, *options)
    # the native pieces decided, and the structures were many enough to tell
    assert doc["candidates"] and decided["report"] == len(doc["candidates"])
    assert decided["match"] > 0 and decided["distances"] > 0
    for ours, theirs in zip(doc["candidates"], reference["candidates"]):
        assert ours == theirs, ours["formula"]
    assert doc == reference
    assert [f for f, _ in matched] == [f for f, _ in reference_matched]
    for (formula, ours), (_, theirs) in zip(matched, reference_matched):
        match, member_matches, bindings, texts = ours
        assert match == theirs[0] and member_matches == theirs[1], formula
        assert _bindings(bindings) == _bindings(theirs[2]), formula
        assert texts == theirs[3], formula


@pytest.fixture(scope="module")
def candidates(banks):
    """The structures of the variant and regression banks, as a run finds them."""
    out = []
    for bank in ("variants", "regression"):
        doc_path = banks[bank].with_suffix(".out.json")
        with contextlib.redirect_stdout(io.StringIO()):
            assert cli.main(["detect", str(banks[bank]), "--quiet", "--json", str(doc_path)]) == 0
        out += [sp.sympify(c["formula"]) for c in json.loads(doc_path.read_text())["candidates"]]
    return out


@pytest.mark.parametrize("library", ["bundled", "small", "empty"])
def test_composition_distances_on_native_trees_are_sympys(candidates, library):
    laws = load_library()
    if library == "small":
        laws = dict(list(laws.items())[:4])
    elif library == "empty":
        laws = {}
    # formulas whose wildcards are renamed past names they hold already, beside the runs'
    v0, v1, x = sp.symbols("v0 v1 x")
    f1, f2 = sp.symbols("φ1 φ2")
    extra = [v0 * f1 + v1**f2, f2 * sp.sin(x * f1) + v0, f1, x, sp.exp(f1 * x) * f2 + f1]
    formulas_ = candidates + extra
    native = kt._composition_distances(formulas_, laws)
    python = kt._composition_distances(formulas_, laws, native=False)
    assert native == python
    assert all(math.isinf(d) for d in native) == (library == "empty")


def _describe_python(index, candidate, seed):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        np.random.seed(formula_seed(seed, candidate.formula))
        return kt.candidate_report(index, candidate)


@pytest.mark.parametrize("seed", [0, 7, 2**32 - 1])
def test_a_block_described_natively_is_candidate_reports(seed):
    bank = [f.expr for f in load_bank()]
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")  # numpy's warnings of the evaluation
        found = kt.detect_structure(bank, load_library(), seed=seed)
    assert found
    described = 0
    for k, c in enumerate(found):
        block = kt._structure_report(k, c, seed, str(c.formula), [str(m) for m in c.members])
        if block is not None:
            described += 1
            assert block == _describe_python(k, c, seed)
    assert described > 0


@pytest.mark.parametrize("seed", [-1, 2**32])
def test_a_seed_past_32_bits_is_left_to_candidate_report(seed):
    x = sp.Symbol("x")
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")  # numpy's warnings of the evaluation
        c = kt.detect_structure([x**2 + 1, x**2 + 3, x**2 + 5], load_library(), seed=0)[0]
    assert kt._structure_report(0, c, seed, str(c.formula), [str(m) for m in c.members]) is None


F1, F2, X, Y, M, V = sp.symbols("φ1 φ2 x y m v")


@pytest.mark.parametrize(
    "formula, texts",
    [
        # bound through the canonical core where the formula does not bind the row
        (F1 * sp.sin(X), ["2*sin(x) + 0.5", "3*sin(x)", "3*sin(x)", "sin(x)*1.7 - 2"]),
        # a wildcard standing for several terms or factors, or for none
        (F1 + X**2, ["x**2 + y + 3", "x**2 + sin(y)*y + y", "x**2", "2*x**2 + 1"]),
        (F1 * X * F2, ["3*x*y*m", "x", "x*exp(y)*v", "x*y"]),
        # members that are laws, scaled laws and near laws
        (F1 * M * V**2, ["0.5*m*v**2", "m*v**2/2", "3*m*v**2", "m*v**2 + 0.001*v"]),
        (F1 * X**F2, ["x**2", "2*x**3", "x**0.5", "exp(x)"]),
    ],
)
def test_a_structure_matched_on_its_rows_trees_is_matched_on_their_expressions(formula, texts):
    read = native_rows.read(texts, [None] * len(texts), 0, SNAP_TOLERANCE)
    assert all(r is not None for r in read)  # every row read natively
    descriptors = [r[2] for r in read]
    exprs = [d.numeric_expr for d in descriptors]
    candidate = kt.GeneralizedCandidate(
        formula=formula, members=exprs, growth_class="", novelty=1.0, closest_lib=""
    )
    library = load_library()
    for near in ({}, {"near_threshold": 0.4}):
        python = matching.match_structure(library, candidate, exprs, near, None, SNAP_TOLERANCE)
        trees = matching.trees_of(descriptors)
        assert trees is not None
        native = kt._match_structure(candidate, library, list(trees), **near)
        assert native is not None
        match, member_matches, tokens, texts_ = native
        assert match == python[0] and member_matches == python[1]
        assert _bindings(matching.TreeBindings(tokens)) == _bindings(python[2])
        assert texts_ == python[3]
