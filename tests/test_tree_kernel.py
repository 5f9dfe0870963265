"""The unit-cost tree edit distance kernel, its early exit and the bounds the similarity graph
prunes with, against zss and the exact similarities."""

import dataclasses
import random

import _brenmoor_testing as kernels
import numpy as np
import pytest
import sympy as sp
import zss
from banks import describe_all, random_bank


def zss_tree(t):
    node = zss.Node(t[0])
    for kid in t[1]:
        node.addkid(zss_tree(kid))
    return node


def random_tree(rng, n, labels):
    nodes = [(rng.choice(labels), []) for _ in range(n)]
    for i in range(1, n):
        nodes[rng.randrange(i)][1].append(nodes[i])
    return nodes[0]


def sized(node):
    return 1 + sum(sized(kid) for kid in node[1])


def ordered_tree(rng, n, labels, heavy_last):
    """A random tree whose children are sorted by size, the largest last (as formula trees
    put numbers, then symbols, then compound terms) or first."""
    tree = random_tree(rng, n, labels)

    def order(node):
        kids = sorted((order(k) for k in node[1]), key=sized, reverse=not heavy_last)
        return (node[0], kids)

    return order(tree)


def chain_tree(rng, n, labels):
    node = (rng.choice(labels), [])
    for _ in range(n - 1):
        node = (rng.choice(labels), [node])
    return node


def star_tree(rng, n, labels):
    return (rng.choice(labels), [(rng.choice(labels), []) for _ in range(n - 1)])


SHAPES = {
    "random": random_tree,
    "heavy last": lambda rng, n, labels: ordered_tree(rng, n, labels, True),
    "heavy first": lambda rng, n, labels: ordered_tree(rng, n, labels, False),
    "chain": chain_tree,
    "star": star_tree,
}


def check_pair(m, a, b):
    """The kernel, the early exit at limits around the distance and the lower bound, both ways."""
    want = int(zss.simple_distance(zss_tree(a), zss_tree(b)))
    assert kernels.tree_distance(a, b) == want
    assert kernels.tree_distance(b, a) == want
    bound = kernels.tree_distance_lower_bound(a, b)
    assert abs(sized(a) - sized(b)) <= bound <= want
    assert kernels.tree_distance_lower_bound(b, a) == bound
    for limit in {0, 1, bound - 1, bound, want - 2, want - 1, want, want + 1, sized(a) + sized(b)}:
        if limit < 0:
            continue
        expected = want if want <= limit else limit + 1
        assert kernels.tree_distance_within(a, b, limit) == expected, (limit, want)
        assert kernels.tree_distance_within(b, a, limit) == expected, (limit, want)


# Sizes reach single nodes (leaf keyroots only), small trees and the 10-60-node trees of
# formula banks; the shapes make either numbering of a pair the cheaper one (heavy first or
# last), leave a single keyroot (chains) or all but one keyroot leaves (stars).
@pytest.mark.parametrize(
    "shape_a, shape_b",
    [
        ("random", "random"),
        ("heavy last", "heavy last"),
        ("heavy first", "heavy first"),
        ("heavy last", "heavy first"),
        ("chain", "star"),
        ("star", "random"),
        ("chain", "heavy last"),
    ],
)
@pytest.mark.parametrize("low, high", [(1, 1), (1, 12), (2, 12), (10, 40)])
@pytest.mark.parametrize("labels", ["ab", "abcdefgh"])
def test_distance_early_exit_and_bound_against_zss(m, shape_a, shape_b, low, high, labels):
    rng = random.Random(f"{shape_a}{shape_b}{low}{high}{labels}")
    for _ in range(6):
        a = SHAPES[shape_a](rng, rng.randint(low, high), labels)
        b = SHAPES[shape_b](rng, rng.randint(low, high), labels)
        check_pair(m, a, b)


@pytest.mark.parametrize(
    "shape_a, shape_b", [("random", "random"), ("heavy last", "heavy first"), ("star", "chain")]
)
def test_distance_on_large_trees_against_zss(m, shape_a, shape_b):
    rng = random.Random(f"{shape_a}{shape_b}")
    for labels in ("ab", "abcdefghijkl"):  # zss takes about a second per pair of this size
        a = SHAPES[shape_a](rng, rng.randint(60, 80), labels)
        b = SHAPES[shape_b](rng, rng.randint(41, 80), labels)
        check_pair(m, a, b)


def test_early_exit_on_near_copies(m):
    # Pairs a few edits apart: the early exit must find the exact distance in a narrow band.
    rng = random.Random(5)
    for trial in range(40):
        a = random_tree(rng, rng.randint(10, 45), "abcdef")
        b = mutate(rng, a, rng.randint(1, 4), "abcdefg")
        check_pair(m, a, b)


def mutate(rng, tree, edits, labels):
    """`tree` after a few random relabels, leaf insertions and deletions of nodes."""
    for _ in range(edits):
        nodes = []

        def walk(node, parent):
            nodes.append((node, parent))
            for kid in node[1]:
                walk(kid, node)

        tree = copy_tree(tree)
        walk(tree, None)
        node, parent = rng.choice(nodes)
        kind = rng.randrange(3)
        if kind == 0:
            replacement = (rng.choice(labels), node[1])
        elif kind == 1:
            replacement = (node[0], node[1] + [(rng.choice(labels), [])])
        elif parent is not None:  # deleting a node moves its children up into its place
            at = next(k for k, kid in enumerate(parent[1]) if kid is node)
            parent[1][at : at + 1] = node[1]
            continue
        else:
            continue
        if parent is None:
            tree = replacement
        else:
            at = next(k for k, kid in enumerate(parent[1]) if kid is node)
            parent[1][at] = replacement
    return tree


def copy_tree(t):
    return (t[0], [copy_tree(k) for k in t[1]])


# ---- the bounds and the early exit of the similarity graph on described banks -------------


@pytest.fixture(scope="module")
def distinct_bank(m):
    from source.bank.feynman import load_bank

    feynman = [f.expr for f in load_bank()]
    x, y = sp.symbols("x y")
    variants = [e.subs(s, s**2) for e in feynman[:40] for s in sorted(e.free_symbols, key=str)[:1]]
    variants += [sp.sin(x) * e for e in feynman[40:70]] + [e + y for e in feynman[70:]]
    exprs, seen = [], set()
    for e in feynman + variants + random_bank(60, seed=11):
        if str(e) not in seen:
            seen.add(str(e))
            exprs.append(e)
    return describe_all(m, exprs)


@pytest.fixture(scope="module")
def dense(m, distinct_bank):
    return m.pairwise_matrix(distinct_bank)


def test_reference_and_new_kernel_give_the_very_same_matrix(m, distinct_bank, dense):
    reference = kernels.pair_similarities(distinct_bank, reference=True)
    assert np.array_equal(kernels.pair_similarities(distinct_bank), reference)
    assert np.array_equal(dense, reference)


def thresholds(dense):
    """Round thresholds and thresholds equal to some exact similarities (a pair exactly at the
    threshold reaches it)."""
    rng = random.Random(8)
    n = len(dense)
    exact = [
        float(dense[i, j]) for i, j in ((rng.randrange(n), rng.randrange(n)) for _ in range(6))
    ]
    return [0.85, 0.8, 0.6, 0.95] + exact


def test_thresholded_pairs_are_the_matrix_entries_that_reach_the_threshold(m, distinct_bank, dense):
    for threshold in thresholds(dense):
        reached = kernels.pair_similarities(distinct_bank, threshold=threshold)
        keep = dense >= threshold
        assert np.array_equal(reached[keep], dense[keep]), threshold  # the same doubles
        assert np.isnan(reached[~keep]).all(), threshold


@pytest.mark.parametrize("alpha, beta", [(0.85, 0.15), (0.5, 0.5), (1.0, 0.0)])
def test_similarity_bound_is_never_below_the_exact_similarity_on_a_distinct_bank(
    m, distinct_bank, alpha, beta
):
    rng = random.Random(f"{alpha}{beta}")
    n = len(distinct_bank)
    for _ in range(300):
        a, b = distinct_bank[rng.randrange(n)], distinct_bank[rng.randrange(n)]
        assert kernels.similarity_bound(a, b, alpha, beta) >= m.similarity(
            a, b, alpha=alpha, beta=beta
        )


# Operator lists with a few items (counted item by item) and with more than 64 items (the
# bound then takes the shorter length), over alphabets that make long matches; the second list
# is unrelated, or the first one with items added around it (then every item of the shorter
# list matches and the bound must be exact). The trees differ, so the similarity stays below 1.
@pytest.mark.parametrize(
    "length_a, extra", [(0, 0), (0, 5), (3, 0), (7, 5), (64, 0), (64, 20), (65, 0), (120, 40)]
)
@pytest.mark.parametrize("alphabet", [["Add"], ["Add", "Mul"], ["Add", "Mul", "Pow", "sin", "exp"]])
def test_operator_part_of_the_bound_is_never_below_the_exact_similarity(
    m, distinct_bank, length_a, extra, alphabet
):
    rng = random.Random(f"{length_a}{extra}{alphabet}")
    for trial in range(6):
        d, e = rng.sample(distinct_bank, 2)
        ops = [rng.choice(alphabet) for _ in range(length_a)]
        added = [rng.choice(alphabet) for _ in range(extra)]
        other = [[rng.choice(alphabet) for _ in range(extra)], ops + added, added + ops][trial % 3]
        a, b = dataclasses.replace(d, operators=ops), dataclasses.replace(e, operators=other)
        for first, second in ((a, b), (b, a)):
            exact = m.similarity(first, second, alpha=1.0, beta=0.0)
            assert exact < 1.0
            assert kernels.similarity_bound(first, second, 1.0, 0.0) >= exact
