"""The native expression trees hold sympy's expressions exactly: read, encoded, decoded and built
again as sympy they are the same expressions, they order as `Basic.compare` orders them, and
their negation is sympy's."""

import itertools

import formulas
import pytest
import sympy as sp

kernels = pytest.importorskip("_brenmoor_testing")


CORPUS = formulas.corpora(step=7, variants_n=300, randoms_n=400)


def subtrees(exprs):
    seen = {}
    for e in exprs:
        for node in sp.preorder_traversal(e):
            seen.setdefault(node, None)
    return list(seen)


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_a_tree_holds_the_expression_exactly(corpus):
    held = 0
    for e in CORPUS[corpus]():
        again = kernels.tree_roundtrip(e)
        if again is None:
            continue
        held += 1
        assert again == e and sp.srepr(again) == sp.srepr(e)
    assert held > 0


def test_what_a_tree_cannot_hold_is_refused():
    x = sp.Symbol("x")
    for e in [
        sp.Symbol("x", positive=True),
        sp.Integer(2) ** 80 * x,
        sp.Float("0.1234567890123456789") * x,
        sp.oo * x + 1,
        sp.Max(x, 1),
        sp.Function("f")(x),
        sp.Dummy("d") + 1,
    ]:
        assert kernels.tree_roundtrip(e) is None, e


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_trees_order_as_sympy_compares(corpus):
    nodes = subtrees(CORPUS[corpus]())[:400]
    for a, b in itertools.islice(itertools.combinations(nodes, 2), 20000):
        c = kernels.tree_compare(a, b)
        if c is not None:
            assert c == a.compare(b), (a, b)


def test_floats_order_by_their_mpmath_form():
    values = [0.5, -0.5, 2.0, 3.0, 1e-3, -7.25, 1.0 / 3, 0.0, 1e300, -1e-300, 123.456]
    floats = [sp.Float(v) for v in values]
    for a, b in itertools.product(floats, repeat=2):
        assert kernels.tree_compare(a, b) == a.compare(b), (a, b)


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_negation_is_sympys(corpus):
    for e in subtrees(CORPUS[corpus]())[:2000]:
        negated = kernels.tree_negate(e)
        if negated is not None:
            assert sp.srepr(negated) == sp.srepr(-e), e
