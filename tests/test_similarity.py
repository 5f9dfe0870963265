"""Similarity kernels, joint similarity, the pairwise matrix and clustering."""

import dataclasses
import difflib
import os
import random
import signal
import threading
import time

import _brenmoor_testing as kernels
import numpy as np
import pytest
import reference as ref
import sympy as sp
import zss
from banks import describe_all, literal_copy, random_bank

x, y, z = sp.symbols("x y z")


def random_tree(rng, n, labels):
    nodes = [(rng.choice(labels), []) for _ in range(n)]
    for i in range(1, n):
        nodes[rng.randrange(i)][1].append(nodes[i])
    return nodes[0]


def zss_tree(t):
    node = zss.Node(t[0])
    for kid in t[1]:
        node.addkid(zss_tree(kid))
    return node


def test_tree_distance_equals_zss(m):
    rng = random.Random(1)
    for trial in range(400):
        labels = "ab" if trial % 2 else "abcdef"
        a = random_tree(rng, rng.randint(1, 40), labels)
        b = random_tree(rng, rng.randint(1, 40), labels)
        want = zss.simple_distance(zss_tree(a), zss_tree(b))
        assert kernels.tree_distance(a, b) == want
        assert kernels.tree_distance(b, a) == want


def test_sequence_ratio_equals_difflib(m):
    rng = random.Random(2)
    # Sizes around 200 switch the "popular item" rule of the second sequence on and off.
    special = [0, 1, 2, 199, 200, 201, 400]
    sizes = [(a, b) for a in special for b in special]
    sizes += [(rng.randint(0, 400), rng.randint(0, 400)) for _ in range(250)]
    for la, lb in sizes:
        alphabet = rng.choice(["ab", "abcdefgh", [str(i) for i in range(40)]])
        a = [rng.choice(alphabet) for _ in range(la)]
        b = [rng.choice(alphabet) for _ in range(lb)]
        assert kernels.sequence_ratio(a, b) == difflib.SequenceMatcher(None, a, b).ratio()
        assert kernels.sequence_ratio(b, a) == difflib.SequenceMatcher(None, b, a).ratio()


@pytest.fixture(scope="module")
def descriptors(m):
    from source.bank.feynman import load_bank

    feynman = [f.expr for f in load_bank()[:30]]
    return describe_all(m, feynman + random_bank(30, seed=3) + [sp.Integer(2), x, x])


def test_matrix_fast_path_equals_literal_and_reference(m, descriptors):
    fast = m.pairwise_matrix(descriptors)
    literal = m.pairwise_matrix([literal_copy(m, d) for d in descriptors])
    assert fast.shape == (len(descriptors),) * 2 and fast.dtype == np.float64
    np.testing.assert_allclose(fast, literal, rtol=1e-12, atol=0)
    np.testing.assert_array_equal(fast, fast.T)
    rng = random.Random(4)
    for _ in range(60):
        i, j = rng.randrange(len(descriptors)), rng.randrange(len(descriptors))
        a, b = descriptors[i], descriptors[j]
        assert m._structural_sim(a, b) == ref.structural_sim(a, b)
        assert m._behavioral_sim(a, b) == pytest.approx(ref.behavioral_sim(a, b), rel=1e-12)
        # Entry [i, j] holds similarity(d_i, d_j) for i <= j, mirrored below the diagonal.
        lo, hi = min(i, j), max(i, j)
        assert fast[i, j] == pytest.approx(
            ref.similarity(descriptors[lo], descriptors[hi]), rel=1e-12
        )


def test_matrix_forwards_weights(m, descriptors):
    few = descriptors[:12]
    got = m.pairwise_matrix(few, alpha=1.0, beta=0.0)
    for i in range(len(few)):
        for j in range(i, len(few)):
            assert got[i, j] == got[j, i] == m._structural_sim(few[i], few[j])
    literal = m.pairwise_matrix([literal_copy(m, d) for d in few], alpha=2, beta=0.5)
    np.testing.assert_allclose(m.pairwise_matrix(few, alpha=2, beta=0.5), literal, rtol=1e-12)
    assert literal.max() > 1.0  # weights are not normalised


def test_matrix_keyword_errors(m, descriptors):
    with pytest.raises(TypeError, match="unexpected keyword argument 'gamma'"):
        m.pairwise_matrix(descriptors[:2], gamma=1.0)
    with pytest.raises(TypeError, match="Argument 'alpha'"):
        m.pairwise_matrix(descriptors[:2], alpha="big")
    assert m.pairwise_matrix([], gamma=1.0).shape == (0, 0)  # no call, no error
    with pytest.raises(TypeError, match="Argument 'descriptors'"):
        m.pairwise_matrix(tuple(descriptors[:2]))


def test_identical_descriptors(m, descriptors):
    d = descriptors[0]
    assert m._structural_sim(d, d) == 1.0 and m._behavioral_sim(d, d) == 1.0
    single = m.pairwise_matrix([d])
    assert single.shape == (1, 1) and single[0, 0] == m.similarity(d, d) == 1.0


def test_behaviour_rules(m, descriptors):
    a = dataclasses.replace(descriptors[0], behavior_vec=np.linspace(0, 1, 5))
    b = dataclasses.replace(descriptors[1], behavior_vec=np.linspace(0, 2, 3))
    short = dataclasses.replace(b, behavior_vec=np.linspace(0, 1, 5)[:3])
    assert m._behavioral_sim(a, b) == pytest.approx(ref.behavioral_sim(a, b), rel=1e-12)
    # Lengths 5 and 3 compare on the first three samples.
    assert m._behavioral_sim(a, short) == m._behavioral_sim(
        dataclasses.replace(a, behavior_vec=a.behavior_vec[:3]), short
    )
    const = dataclasses.replace(a, behavior_vec=np.full(64, 0.125))
    assert m._behavioral_sim(const, const) == 0.5 and m._behavioral_sim(a, const) == 0.5
    assert m._behavioral_sim(dataclasses.replace(a, behavior_vec=None), a) == 0.5
    assert m._behavioral_sim(dataclasses.replace(a, behavior_vec=np.array([])), a) == 0.5
    inf = dataclasses.replace(a, behavior_vec=np.array([np.inf, 1, 2, 3, 4.0]))
    assert m._behavioral_sim(inf, inf) == 1.0  # a NaN distance gives 1.0
    for frac, expected in ((0.3, None), (0.3000001, 0.3)):
        bad = dataclasses.replace(a, frac_invalid=frac)
        got = m._behavioral_sim(bad, b)
        assert (got == 0.3) if expected else got == m._behavioral_sim(a, b)


def test_empty_operator_lists(m, descriptors):
    a = dataclasses.replace(descriptors[0], operators=[])
    b = dataclasses.replace(descriptors[1], operators=[])
    assert m._structural_sim(a, b) == ref.structural_sim(a, b)


def test_odd_descriptors_take_the_literal_path(m, descriptors):
    d = descriptors[0]
    odd = dataclasses.replace(d, behavior_vec=list(d.behavior_vec), operators=tuple(d.operators))
    assert m.similarity(odd, d) == pytest.approx(ref.similarity(odd, d), rel=1e-12)

    class Partial:
        expr = d.expr
        operators = d.operators
        root_type = d.root_type
        repeated_var = d.repeated_var
        unary_depth = d.unary_depth
        frac_invalid = 0.5  # the 0.3 return needs no other field

    assert m._behavioral_sim(Partial(), d) == 0.3
    fields = {f.name: getattr(d, f.name) for f in dataclasses.fields(d)}
    del fields["behavior_vec"]
    with pytest.raises(AttributeError, match="behavior_vec"):
        m.similarity(d, type("NoVector", (), fields)())
    with pytest.raises(AttributeError):
        m.pairwise_matrix([d, None])
    with pytest.raises(TypeError, match="Argument 'alpha'"):
        m.similarity(d, d, alpha=None)


def test_similarity_defaults_and_weights(m, descriptors):
    a, b = descriptors[3], descriptors[40]
    s, bh = m._structural_sim(a, b), m._behavioral_sim(a, b)
    assert m.similarity(a, b) == 0.85 * s + 0.15 * bh
    assert m.similarity(a, b, 1, 0) == s
    assert m.similarity(b=b, a=a, beta=2.0) == 0.85 * s + 2.0 * bh


def matrix_of(rows):
    return np.array(rows, dtype=float)


@pytest.mark.parametrize(
    "matrix, threshold, expected",
    [
        ([[1, 0.9, 0.9], [0.9, 1, 0.5], [0.9, 0.5, 1]], 0.8, [[0, 1], [2]]),
        ([[1, 0.8], [0.8, 1]], 0.8, [[0, 1]]),
        ([[1, 0.7, 0.1], [0.7, 1, 0.1], [0.1, 0.1, 1]], 0.95, [[0], [1], [2]]),
        ([[1, np.nan, 0.9], [np.nan, 1, 0.9], [0.9, 0.9, 1]], 0.8, [[0, 2], [1]]),
        ([[1, 0.9, 0.2], [0.9, 1, 0.9], [0.2, 0.9, 1]], 0.8, [[0, 1], [2]]),
    ],
)
def test_cluster_by_similarity(m, matrix, threshold, expected):
    ds = [object() for _ in matrix]
    for form in (
        matrix_of(matrix),
        matrix_of(matrix).tolist(),
        np.asfortranarray(matrix_of(matrix)),
    ):
        clusters = m.cluster_by_similarity(
            ds, form if not isinstance(form, list) else _Indexable(form), threshold
        )
        assert [[ds.index(d) for d in c] for c in clusters] == expected


class _Indexable:
    """A matrix-like object indexed by (row, column) pairs, read through the C API."""

    def __init__(self, rows):
        self.rows = rows

    def __getitem__(self, key):
        return self.rows[key[0]][key[1]]


def test_cluster_edges(m):
    assert m.cluster_by_similarity([], np.zeros((0, 0))) == []
    assert m.cluster_by_similarity(["a"], np.ones((1, 1))) == [["a"]]
    with pytest.raises(IndexError):
        m.cluster_by_similarity(["a", "b"], np.ones((1, 1)))
    with pytest.raises(TypeError, match="Argument 'threshold'"):
        m.cluster_by_similarity(["a"], np.ones((1, 1)), "high")
    with pytest.raises(TypeError, match="Argument 'descriptors'"):
        m.cluster_by_similarity(("a",), np.ones((1, 1)))


@pytest.fixture(scope="module")
def big_bank(descriptors):
    return descriptors * 50  # 3,150 entries; the same objects, so setting up is cheap


def test_interrupt_stops_the_matrix(m, big_bank):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals are handled on the main thread")
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        m.pairwise_matrix(big_bank)
    timer.join()
    assert time.perf_counter() - start < 0.3 + 1.0


def test_concurrent_calls_agree_with_serial(m, descriptors):
    bank = descriptors * 2
    serial = m.pairwise_matrix(bank)
    results = [None, None]

    def run(k):
        results[k] = m.pairwise_matrix(bank, beta=0.25) if k else m.pairwise_matrix(bank)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    np.testing.assert_array_equal(results[0], serial)
    np.testing.assert_array_equal(results[1], m.pairwise_matrix(bank, beta=0.25))


def test_matrix_with_repeated_trees_equals_every_pair_measured(m):
    # Variants repeat canonical trees (3*e and e share none, e and e + 0 share one); the
    # matrix measured per distinct pair of trees must equal the one measured per pair.
    base = random_bank(40, seed=21)
    x = sp.Symbol("x")
    bank = base + [3 * e for e in base[:20]] + [e.subs(x, sp.Symbol("q")) for e in base[:30]]
    ds = describe_all(m, bank)
    interned = m.pairwise_matrix(ds)
    direct = kernels.pairwise_matrix_direct(ds)
    assert np.array_equal(interned, direct)
    sample = [(0, 40), (3, 70), (5, 45), (69, 89), (10, 10)]
    for i, j in sample:
        assert interned[i, j] == m.similarity(ds[i], ds[j])
    weighted = m.pairwise_matrix(ds, alpha=0.3, beta=0.7)
    assert np.array_equal(weighted, kernels.pairwise_matrix_direct(ds, alpha=0.3, beta=0.7))


def test_tree_distance_on_larger_trees_and_every_bundled_pair(m):
    from source.bank.feynman import load_bank

    rng = random.Random(4)
    for trial in range(8):  # zss takes seconds per pair of trees this size
        labels = "ab" if trial % 2 else "abcdefgh"
        a, b = (
            random_tree(rng, rng.randint(41, 80), labels),
            random_tree(rng, rng.randint(1, 80), labels),
        )
        assert kernels.tree_distance(a, b) == zss.simple_distance(zss_tree(a), zss_tree(b))

    def as_tuple(e):
        return (type(e).__name__ if e.args else str(e), [as_tuple(k) for k in e.args])

    # The first 40 formulas keep this under a few seconds (zss is slow); every pair of all 100
    # was checked the same way when the interned kernel was introduced.
    trees = [as_tuple(m._canonicalize_expr(f.expr)) for f in load_bank()[:40]]
    zss_trees = [zss_tree(t) for t in trees]
    for i in range(len(trees)):
        for j in range(i + 1, len(trees)):
            assert kernels.tree_distance(trees[i], trees[j]) == zss.simple_distance(
                zss_trees[i], zss_trees[j]
            )


def test_interned_matrix_on_the_bundled_bank_with_ranges(m):
    from source.bank.feynman import load_bank

    bank = load_bank()
    exprs = [f.expr for f in bank] + [3 * f.expr for f in bank] + [f.expr + 1 for f in bank[:50]]
    ranges = [f.var_ranges() for f in bank] * 2 + [f.var_ranges() for f in bank[:50]]
    ds = describe_all(m, exprs, ranges)
    np.testing.assert_array_equal(m.pairwise_matrix(ds), kernels.pairwise_matrix_direct(ds))
