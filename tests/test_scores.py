"""Candidate scores: compositionality, log compression, behavioural distance, recurrence,
compression."""

import dataclasses
import math
import random
from unittest import mock

import numpy as np
import pytest
import reference as ref
import sympy as sp
from banks import describe_all, literal_copy, random_bank

x, y, z = sp.symbols("x y z")
phi1, phi2 = sp.symbols("φ1 φ2")


@pytest.fixture(scope="module")
def library():
    from source.bank.feynman import load_bank

    return [f.expr for f in load_bank()[:8]]


def test_compositionality_edges(m, library):
    assert m.compositionality_score(x + y, []) == 0.0
    assert m.compositionality_score(library[2], library) == 1.0
    assert m.compositionality_score(phi1 + phi2, [sp.Symbol("v0") + sp.Symbol("v1")]) == 1.0
    one = m.compositionality_score(x * y + 1, [x * y])  # one entry: no pairs formed
    assert one == ref.compositionality_score(x * y + 1, [x * y])
    assert m.compositionality_score(library[0] + library[1], library) == 1.0  # a sum of two


def test_compositionality_matches_definition(m, library):
    formulas = [
        m.anti_unify_cluster(pair) for pair in [library[:2], library[2:4], [library[4], library[0]]]
    ] + random_bank(6, seed=12)
    for f in formulas:
        want = ref.compositionality_score(f, library)
        assert m.compositionality_score(f, library) == want  # first call builds the trees
        assert m.compositionality_score(f, library) == want  # later calls reuse them


def test_cached_trees_follow_library_changes(m, library):
    lib = list(library[:4])
    f = library[5] * 2
    first = m.compositionality_score(f, lib)
    lib.append(library[5])  # the formula's tree is now one edit from a library entry
    assert m.compositionality_score(f, lib) == ref.compositionality_score(f, lib) > first
    lib[0] = library[5] * 2
    assert m.compositionality_score(f, lib) == 1.0
    for _ in range(6):  # more libraries than the cache keeps
        other = random_bank(3, seed=random.random())
        assert m.compositionality_score(f, other) == ref.compositionality_score(f, other)


def test_compositionality_errors(m):
    class Bad(sp.Symbol):
        def __add__(self, other):
            raise ZeroDivisionError("no sums")

    with pytest.raises(ZeroDivisionError, match="no sums"):
        m.compositionality_score(x, [Bad("b"), y])
    # A library entry whose tree cannot be built is skipped, as is every pair with it.
    assert m.compositionality_score(x, [object()]) == 0.0
    with pytest.raises(TypeError, match="Argument 'lib_exprs'"):
        m.compositionality_score(x, (x,))


@pytest.mark.parametrize(
    "value, expected",
    [
        (0.0, 0.0),
        (-(math.e - 1), -1.0),
        (float("nan"), 1.0),
        (float("inf"), 1.0),
        (float("-inf"), 1.0),
        (1e150, math.log1p(1e150)),
        (3, math.log1p(3.0)),
    ],
)
def test_log_compress(m, value, expected):
    got = m._log_compress(value)
    assert got == pytest.approx(expected, rel=1e-15) and got == ref.log_compress(value)


@pytest.fixture(scope="module")
def described(m, library):
    return describe_all(m, library + random_bank(12, seed=13))


def test_behavioral_distance_matches_definition(m, described):
    lib = {f"L{i}": d for i, d in enumerate(described[:8])}
    rng = random.Random(14)
    for _ in range(10):
        cluster = rng.sample(described, rng.randint(1, 5))
        assert m.behavioral_distance_between_cluster_and_library(
            cluster, lib
        ) == ref.behavioral_distance(cluster, lib)


@pytest.mark.parametrize(
    "change",
    [
        lambda d: dataclasses.replace(d, derivative_approx=np.float64(d.derivative_approx)),
        lambda d: dataclasses.replace(d, behavior_vec=d.behavior_vec.astype(np.float32)),
        lambda d: dataclasses.replace(d, behavior_vec=d.behavior_vec[:10]),
        lambda d: dataclasses.replace(d, stability_score=math.nan),
    ],
)
def test_behavioral_distance_native_and_literal_entries_agree(m, described, change):
    # Library entries of other shapes take the literal numpy path beside native ones.
    lib = {f"L{i}": change(d) if i % 2 else d for i, d in enumerate(described[:6])}
    cluster = described[6:9]
    got = m.behavioral_distance_between_cluster_and_library(cluster, lib)
    assert got == pytest.approx(ref.behavioral_distance(cluster, lib), rel=1e-12)


def test_behavioral_distance_edges(m, described):
    cluster = described[:3]
    lib = {"a": described[4]}
    assert m.behavioral_distance_between_cluster_and_library(cluster, {}) == math.inf
    none_vecs = [dataclasses.replace(d, behavior_vec=None) for d in cluster]
    assert m.behavioral_distance_between_cluster_and_library(none_vecs, lib) == math.inf
    no_vec_lib = {"a": dataclasses.replace(described[4], behavior_vec=None)}
    got = m.behavioral_distance_between_cluster_and_library(cluster, no_vec_lib)
    assert math.isfinite(got) and got == ref.behavioral_distance(cluster, no_vec_lib)
    odd = [
        dataclasses.replace(cluster[0], behavior_vec=np.arange(5.0)),
        dataclasses.replace(cluster[1], behavior_vec=np.array([])),
        dataclasses.replace(cluster[2], behavior_vec=np.float64(2.0)),
    ]
    assert m.behavioral_distance_between_cluster_and_library(odd, lib) == ref.behavioral_distance(
        odd, lib
    )
    with pytest.raises(TypeError, match="Argument 'lib_descs'"):
        m.behavioral_distance_between_cluster_and_library(cluster, [described[4]])
    with pytest.raises(TypeError, match="Argument 'cluster'"):
        m.behavioral_distance_between_cluster_and_library(tuple(cluster), lib)


def test_behavioral_distance_reads_grid_at_call_time(m, described, monkeypatch):
    lib = {"a": described[4]}
    short = np.linspace(0.1, 1.0, 8)
    monkeypatch.setattr(m, "GRID", short)
    assert m.behavioral_distance_between_cluster_and_library(
        described[:2], lib
    ) == ref.behavioral_distance(described[:2], lib, grid=short)


def test_recurrence_strength(m, described):
    pair = described[:2]
    with mock.patch.object(m, "similarity", return_value=0.8):
        # Literal path (descriptor copies of another shape) uses the module's similarity.
        assert m.recurrence_strength([literal_copy(m, d) for d in pair], 10) == pytest.approx(
            0.32, rel=1e-15
        )
    assert m.recurrence_strength(described[:1], 10) == 0.0
    assert m.recurrence_strength(pair, 1) == 0.0
    for k in (2, 5, 9):
        cluster = described[:k]
        want = ref.recurrence_strength(cluster, 20)
        assert m.recurrence_strength(cluster, 20) == pytest.approx(want, rel=1e-12)
        assert m.recurrence_strength([literal_copy(m, d) for d in cluster], 20) == pytest.approx(
            want, rel=1e-12
        )
    with pytest.raises(TypeError, match="Argument 'all_count'"):
        m.recurrence_strength(pair, 10.0)


def test_recurrence_example_value(m):
    class Five:
        pass

    with mock.patch.object(m, "similarity", return_value=0.9):
        assert m.recurrence_strength([Five() for _ in range(5)], 20) == pytest.approx(1.125)


@pytest.mark.parametrize(
    "nodes, formula, expected",
    [
        ([10, 10], x + y, (20 - 3) / 20),
        ([1, 1], x * y + z, 0.0),
        ([0, 0], x, 0.0),
        ([500] * 10, x, (5000 - 1) / 5000),
    ],
)
def test_compression_gain(m, nodes, formula, expected):
    cluster = [type("D", (), {"n_nodes": n})() for n in nodes]
    assert m.compression_gain(cluster, formula) == expected
    assert m._node_count(formula) == sum(1 for _ in sp.preorder_traversal(formula))


def _cluster_accounts(m):
    import sympy as sp

    from source.bank.laws import load_library

    x, y, t = sp.symbols("x y t")
    library = load_library()
    with np.errstate(all="ignore"):
        lib_descs = {k: m.describe(v) for k, v in library.items()}
        kept = [m.describe(e) for e in (x**2 * y, 3 * x**2 * y, x**2 * y / 2)]
        generic = [m.describe(e) for e in (x + y, sp.sin(t) * sp.exp(x), sp.log(y) - t**3)]
    return library, lib_descs, kept, generic


@pytest.mark.parametrize("cohesion", [False, True])
@pytest.mark.parametrize("which", ["kept", "generic"])
@pytest.mark.parametrize("bank_size", [3, 250])
def test_score_from_earlier_parts_equals_the_full_score(m, which, bank_size, cohesion):
    library, lib_descs, kept, generic = _cluster_accounts(m)
    cluster = kept if which == "kept" else generic
    earlier = m._score_cluster(cluster, library, lib_descs, 100, w_recurrence=2.0)
    parts, given = earlier["parts"], cluster
    if cohesion:  # with the cluster's cohesion, scoring reads none of its trees

        class Treeless(m.ExprDescriptor):
            def __getattribute__(self, name):
                assert name != "expr", "a tree was read"
                return object.__getattribute__(self, name)

        parts = {**parts, "cohesion": m._cluster_cohesion(cluster)}
        given = [Treeless(**vars(d)) for d in cluster]
    again = m._score_cluster(
        given, library, lib_descs, bank_size, -5.0, w_structural=0.5, parts=parts
    )
    full = m._score_cluster(cluster, library, lib_descs, bank_size, -5.0, w_structural=0.5)
    if cohesion and full["kept"]:
        assert again["parts"].pop("cohesion") == parts["cohesion"]
    assert again["parts"] == full["parts"]
    for key in ("formula", "kept", "terms", "novelty", "closest"):
        assert again.get(key) == full.get(key), key
    if full["candidate"] is not None:
        assert again["candidate"].novelty == full["candidate"].novelty
        assert again["candidate"].members == full["candidate"].members


@pytest.mark.parametrize(
    "parts, error",
    [
        ({"formula": None}, ValueError),
        (
            {
                "formula": 1,
                "kept": True,
                "structural": "3",
                "closest": "x",
                "behavioral": 1.0,
                "compositionality": 0.1,
                "compression_gain": 0.2,
            },
            TypeError,
        ),
        ([], TypeError),
        (
            {
                "formula": 1,
                "kept": True,
                "structural": 3.0,
                "closest": "x",
                "behavioral": 1.0,
                "compositionality": 0.1,
                "compression_gain": 0.2,
                "cohesion": "0.5",
            },
            TypeError,
        ),
    ],
)
def test_malformed_parts_are_refused(m, parts, error):
    library, lib_descs, kept, _ = _cluster_accounts(m)
    with pytest.raises(error):
        m._score_cluster(kept, library, lib_descs, 100, parts=parts)
