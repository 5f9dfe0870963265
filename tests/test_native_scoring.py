"""Clusters of rows read natively are scored on their records with the account `_score_cluster`
gives the same members as plain descriptors: the generalisation (srepr), its merged, displayed
and normalised forms, every measure and term to the last bit, the candidate with its members,
the printed text and the cohesion. Clusters come from real runs (`detect` with the command
line's large settings on the corpora), from unrelated formulas (wildcard-heavy generalisations)
and from formulas of one variable."""

import csv
import itertools
import math
import random
import warnings

import formulas
import pytest
import sympy as sp

from source.bank import files
from source.bank.laws import load_library
from source.engine import kt
from source.judge.canonical import SNAP_TOLERANCE
from source.run import native_rows, scoring
from source.run.describe import describe_one, describe_rows
from source.run.detect import detect
from source.run.results import DescribedExprs
from source.settings import SCORING, Settings

kernels = pytest.importorskip("_brenmoor_testing")

FIELDS = list(kt.ExprDescriptor.__dataclass_fields__)
THRESHOLD = 1.0


@pytest.fixture(scope="module")
def library():
    lib = load_library()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return lib, {name: describe_one(e, None, 0) for name, e in lib.items()}


def plain(cluster):
    return [kt.ExprDescriptor(**{f: getattr(d, f) for f in FIELDS}) for d in cluster]


def records(cluster):
    return [(d._record, d._packed) for d in cluster]


def weights(merge, density=0.6):
    return {"max_wildcard_density": density, "merge_wildcards": merge}


def exact(value):
    """A value as it must be equal: expressions by srepr, floats by their bits and type."""
    if isinstance(value, sp.Basic):
        return ("expr", sp.srepr(value))
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    if isinstance(value, float):
        return (type(value).__name__, "nan" if math.isnan(value) else value.hex())
    if isinstance(value, kt.GeneralizedCandidate):
        fields = ("formula", "members", "growth_class", "novelty", "closest_lib")
        return tuple(exact(getattr(value, f)) for f in fields)
    if isinstance(value, list):
        return [exact(v) for v in value]
    return value


def compare(clusters, lib, merge, bank_size, density=0.6):
    """Every cluster scored both ways; the accounts of those the native path handles compared
    key by key (their order included). Returns how many it handled."""
    library, lib_descs = lib
    native = kt._score_native_clusters(
        [records(c) for c in clusters],
        library,
        lib_descs,
        bank_size,
        THRESHOLD,
        **weights(merge, density),
    )
    handled = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for cluster, got in zip(clusters, native):
            if got is None:
                continue
            handled += 1
            want = scoring._score_printed(
                library, lib_descs, plain(cluster), bank_size, THRESHOLD, weights(merge, density)
            )
            assert list(got) == list(want)
            assert exact(got) == exact(want), [str(d.numeric_expr) for d in cluster]
    return handled


def read_native(texts, bounds=None):
    """Descriptors of formula texts as the native pass reads them (the rows it reads)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        outs = native_rows.read(texts, bounds or [None] * len(texts), 0, SNAP_TOLERANCE)
    return [o[2] for o in outs if o is not None]


def run_clusters(rows, lib):
    """The clusters of two or more rows read natively that detection forms with the command
    line's large settings, the rows judged as they are read, as the command line judges them."""
    settings = Settings(large=True, seed=0, filter=False, canonical_forms=True, verbose=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        judging = (lib[0], settings.fit_threshold)
        outs = describe_rows(rows, seed=0, judging=judging)
        outs = [o for o in outs if not isinstance(o, Exception)]
        descs = [o[2] for o in outs]
        run = detect(
            list(range(len(descs))),
            DescribedExprs(descs),
            lib[0],
            descriptors=descs,
            texts=[o[3] for o in outs],
            settings=settings,
            judged=True,
        )
    clusters = [[descs[r] for r in c] for c in run.clusters if len(c) > 1]
    native = [c for c in clusters if all(isinstance(d, native_rows.NativeDescriptor) for d in c)]
    return native, len(descs)


def bank_rows(texts, tmp_path):
    path = tmp_path / "bank.csv"
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["id", "formula"])
        writer.writerows([f"r{k}", t] for k, t in enumerate(texts))
    return files.read_rows([str(path)])


CORPORA = {
    "variants": lambda tmp: bank_rows(formulas.variants(600), tmp),
    "regression": lambda tmp: files.read_rows([str(formulas.SR_BANK)])[::3],
    "feynman": lambda tmp: files.read_rows(
        [str(formulas.ROOT / "source" / "data" / "feynman_equations.csv")]
    ),
}


@pytest.fixture(scope="module", params=list(CORPORA))
def corpus(request, library, tmp_path_factory):
    rows = CORPORA[request.param](tmp_path_factory.mktemp(request.param))
    return run_clusters(rows, library)


@pytest.mark.parametrize("merge", [True, False])
def test_the_clusters_of_a_run_score_as_the_sympy_path_scores_them(corpus, library, merge):
    clusters, bank_size = corpus
    assert len(clusters) >= 10
    handled = compare(clusters, library, merge, bank_size)
    assert handled >= 0.95 * len(clusters)


def some_clusters(descs, rng, count, sizes):
    return [rng.sample(descs, rng.choice(sizes)) for _ in range(count)]


@pytest.mark.parametrize("density", [0.6, 0.3, 0.9])
@pytest.mark.parametrize("merge", [True, False])
def test_unrelated_formulas_give_the_same_wildcard_heavy_accounts(library, merge, density):
    """Random formulas grouped at random: generalisations mostly wildcards, many too generic to
    keep, sums and products of many arguments paired greedily and exhaustively."""
    descs = read_native(list(formulas.random_texts(120)) + list(formulas.variants(60)))
    clusters = some_clusters(descs, random.Random(7), 50, [2, 2, 3, 4, 9])
    handled = compare(clusters, library, merge, 500, density)
    assert handled >= 0.9 * len(clusters)


ONE_VARIABLE = [
    "x**2",
    "3*x**2 + 1",
    "x**3",
    "sin(x)",
    "2*sin(3*x)",
    "exp(-x)",
    "x*exp(-x)",
    "log(x + 1)",
    "1/(1 + x)",
    "sqrt(x)",
    "x**2*sin(x)",
    "cos(x)**2",
    "x + 1/x",
    "0.5*x**2 + 2.5",
    "tanh(2*x)",
]


@pytest.mark.parametrize("merge", [True, False])
def test_formulas_of_one_variable(library, merge):
    descs = read_native(ONE_VARIABLE)
    assert len(descs) == len(ONE_VARIABLE)
    clusters = [list(p) for p in itertools.combinations(descs, 2)][::3]
    clusters += some_clusters(descs, random.Random(3), 10, [3, 5])
    assert compare(clusters, library, merge, 40) == len(clusters)


def test_identical_members_and_duplicates(library):
    """Members of one canonical form (a row twice, or two scalings) generalise to that form,
    each counting in the measures."""
    a, b, c = read_native(["x*y**2", "3*a*b**2", "sin(x)*y"])
    clusters = [[a, b], [a, a, b], [a, b, b, c], [a, a]]
    assert compare(clusters, library, True, 10) == len(clusters)
    account = kt._score_native_clusters([records([a, b])], *library, 10, THRESHOLD)[0]
    assert account["kept"] and account["formula"] == a.expr == b.expr


def test_an_empty_library_scores_without_distances(library):
    descs = read_native(["x*y**2", "3*a*b**2", "x*y**3"])
    assert compare([descs], ({}, {}), True, 10) == 1
    assert compare([descs], (library[0], {}), True, 10) == 1


def test_what_the_native_path_leaves_is_scored_by_sympy(library):
    """A member whose canonical tree holds a wildcard's name (which the native reader never
    makes: its record edited, v1 renamed φ) is left to the sympy path, and score_clusters still
    gives every cluster its account, a mixed cluster's among them."""
    x, y, z = read_native(["x*y + x**2", "x**2 + y", "x**3 + y"])
    symbol_v1, symbol_phi = b"\x05\x02v1", b"\x05\x02\xcf\x86"
    assert symbol_v1 in x._record
    wild = native_rows.native_descriptor(
        x._record.replace(symbol_v1, symbol_phi, 1), x._packed, x._core
    )
    assert str(wild.expr) == "v0**2 + v0*φ"
    assert kt._score_native_clusters([records([wild, y])], *library, 10, THRESHOLD) == [None]
    clusters = [[wild, y], [y, z], [y, plain([z])[0]]]
    scored = scoring.score_clusters(clusters, *library, 10, THRESHOLD, weights=weights(True))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for cluster, got in zip(clusters, scored):
            want = scoring._score_printed(*library, plain(cluster), 10, THRESHOLD, weights(True))
            assert exact(got) == exact(want)


def test_score_clusters_gives_the_same_accounts_either_way(library, monkeypatch):
    descs = read_native(list(formulas.variants(80)))
    clusters = some_clusters(descs, random.Random(11), 70, [2, 3, 5])
    w = {**{k: Settings()[k] for k in SCORING}, **weights(True)}
    native = scoring.score_clusters(clusters, *library, 80, THRESHOLD, weights=w)
    monkeypatch.setattr(scoring, "NATIVE", False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sympy_path = scoring.score_clusters(clusters, *library, 80, THRESHOLD, weights=w)
    assert [exact(a) for a in native] == [exact(a) for a in sympy_path]


@pytest.mark.parametrize(
    "cluster, error",
    [
        ([(b"not a record", b"")], None),
        ([("text", b"")], TypeError),
        ([(b"x",)], ValueError),
    ],
)
def test_bad_records(library, cluster, error):
    if error is None:
        assert kt._score_native_clusters([cluster], *library, 10, THRESHOLD) == [None]
    else:
        with pytest.raises(error):
            kt._score_native_clusters([cluster], *library, 10, THRESHOLD)


# ---- the steps on their own: the fold, the score and the forms of a generalisation ----------


def tagged_pairs(n, seed):
    """Pairs of canonical forms tagged with source ids as a cluster's members are."""
    exprs = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for d in read_native(list(formulas.random_texts(n)) + list(formulas.variants(n))):
            exprs.append(d.expr)
    rng = random.Random(seed)
    return [
        (kt._canonicalize_expr(a, source_id=0), kt._canonicalize_expr(b, source_id=1))
        for a, b in (rng.sample(exprs, 2) for _ in range(n))
    ]


def test_the_fold_and_score_of_a_pair(m):
    compared = 0
    for a, b in tagged_pairs(150, 1):
        got = kernels.scoring_anti_unify(a, b)
        if got is None:
            continue
        compared += 1
        assert sp.srepr(got) == sp.srepr(m._anti_unify(a, b, [0], {}, {})), (a, b)
        assert kernels.scoring_structural_score(a, b) == m._structural_score(a, b)
    assert compared >= 140


def test_the_generalisation_of_a_cluster_and_its_forms(m):
    rng = random.Random(5)
    exprs = [d.expr for d in read_native(list(formulas.variants(200)))]
    compared = 0
    for _ in range(60):
        members = rng.sample(exprs, rng.choice([2, 3, 6]))
        handled, got = kernels.scoring_generalize(members, False)
        if not handled:
            continue
        tagged = [m._canonicalize_expr(e, source_id=k) for k, e in enumerate(members)]
        want = m.anti_unify_cluster(tagged)
        assert sp.srepr(got) == sp.srepr(want)
        merged, normalized, displayed, density = kernels.scoring_forms(got)
        assert sp.srepr(merged) == sp.srepr(m._merge_wildcards(want))
        assert sp.srepr(normalized) == sp.srepr(m._normalize_wildcards(want))
        assert sp.srepr(displayed) == sp.srepr(m._display_canonical_expr(want))
        assert density == m._wildcard_density(want)
        compared += 1
    assert compared >= 55
