"""Native trees print as sympy's `str` prints them and order as sympy orders them: the same text for
every expression of the corpora (their subtrees, canonical forms and variations), the same
comparison of sort keys, the same ordered terms and factors, and Floats in mpmath's digits, all
without asking sympy."""

import functools
import itertools
import random
import statistics
import sys
import warnings

import formulas
import pytest
import sympy as sp
from mpmath.libmp import to_str

from source.bank.parsing import FormulaError, parse_formula

kernels = pytest.importorskip("_brenmoor_testing")

x, y, z = sp.symbols("x y z")


def parsed(texts):
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for t in texts:
            try:
                out.append(parse_formula(t))
            except FormulaError:
                pass
    return out


CORPUS = {
    "feynman": lambda: parsed(formulas.feynman()),
    "regression": lambda: parsed(formulas.regression(step=61)),
    "variants": lambda: parsed(formulas.variants(200)),
    "random": lambda: parsed(formulas.random_texts(250)),
}


@functools.cache
def family(corpus):
    """The corpus's expressions, their canonical forms (plain and with a source id) and
    variations of the expressions and of their forms with a source id, with every subtree,
    each once."""
    from source import _brenmoor as m

    seen = {}
    for e in CORPUS[corpus]():
        tagged = m._canonicalize_expr(e, source_id=3)
        forms = [m._canonicalize_expr(e)]
        for f in (e, tagged):
            forms += [f, -f, f / 2, sp.Float(2.5) * f, f**2, 1 / f]
        for f in forms:
            for node in sp.preorder_traversal(f):
                seen.setdefault(node, None)
    return list(seen)


def fallbacks():
    return tuple(kernels.print_fallbacks())


def python_compare(a, b):
    ka, kb = a.sort_key(), b.sort_key()
    return bool(ka > kb) - bool(ka < kb)


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_every_expression_prints_as_sympy_prints_it(corpus):
    before = fallbacks()
    held = 0
    for e in family(corpus):
        text = kernels.tree_str(e)
        if text is None:
            continue
        held += 1
        assert text == str(e), sp.srepr(e)
    assert held > 0.9 * len(family(corpus))
    assert fallbacks() == before, "the corpus printed natively"


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_terms_and_factors_are_ordered_as_sympy_orders_them(corpus):
    before = fallbacks()
    checked = 0
    for e in family(corpus):
        if e.is_Add:
            got, want = kernels.tree_ordered_terms(e), e.as_ordered_terms()
        elif e.is_Mul:
            got, want = kernels.tree_ordered_factors(e), e.as_ordered_factors()
        else:
            continue
        if got is not None:
            checked += 1
            assert [sp.srepr(t) for t in got] == [sp.srepr(t) for t in want], e
    assert checked > 0
    assert fallbacks() == before


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_sort_keys_compare_as_python_compares_them(corpus):
    nodes = family(corpus)
    rng = random.Random(1)
    # Neighbours in sympy's own order differ least, random pairs anywhere.
    ordered = sorted(rng.sample(nodes, min(len(nodes), 3000)), key=lambda e: e.sort_key())
    pairs = list(zip(ordered, ordered[1:])) + list(zip(ordered, ordered[2:]))
    pairs += [(rng.choice(nodes), rng.choice(nodes)) for _ in range(3000)]
    for a, b in pairs:
        got = kernels.tree_sort_key_compare(a, b)
        if got is not None:
            assert got == python_compare(a, b), (a, b)


FUNCTIONS = [sp.sin, sp.cos, sp.tan, sp.exp, sp.log, sp.Abs, sp.asin, sp.acos, sp.atan]
FUNCTIONS += [sp.sinh, sp.cosh, sp.tanh, sp.asinh, sp.acosh, sp.atanh, sp.sqrt]


def random_number(rng):
    pick = rng.random()
    if pick < 0.3:
        return sp.Integer(rng.randint(-12, 12))
    if pick < 0.5:
        return sp.Rational(rng.randint(-9, 9), rng.randint(1, 7))
    if pick < 0.8:
        return sp.Float(rng.choice([rng.uniform(-5, 5), rng.uniform(-1e-6, 1e-6), 2.0, -1.0]))
    return rng.choice([sp.pi, sp.E, sp.sqrt(2), sp.S.Half])


def random_tree(rng, depth):
    if depth == 0 or rng.random() < 0.25:
        return rng.choice([x, y, z]) if rng.random() < 0.65 else random_number(rng)
    pick = rng.random()
    if pick < 0.3:
        return sp.Add(*[random_tree(rng, depth - 1) for _ in range(rng.randint(2, 4))])
    if pick < 0.6:
        return sp.Mul(*[random_tree(rng, depth - 1) for _ in range(rng.randint(2, 4))])
    if pick < 0.8:
        exps = [random_number(rng), random_tree(rng, depth - 1), -1, sp.Rational(-1, 2)]
        return sp.Pow(random_tree(rng, depth - 1), rng.choice(exps + [sp.Rational(3, 2)]))
    return rng.choice(FUNCTIONS)(random_tree(rng, depth - 1))


@pytest.mark.parametrize("seed", range(4))
def test_random_trees_print_and_order_as_sympys(seed):
    rng = random.Random(seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        trees = [random_tree(rng, 4) for _ in range(120)]
    for e in trees:
        nodes = list(sp.preorder_traversal(e))
        for node in nodes:
            text = kernels.tree_str(node)
            assert text is None or text == str(node), sp.srepr(node)
            if node.is_Add and text is not None:
                assert kernels.tree_ordered_terms(node) == node.as_ordered_terms(), node
        a, b = rng.choice(nodes), rng.choice(nodes)
        got = kernels.tree_sort_key_compare(a, b)
        assert got is None or got == python_compare(a, b), (a, b)


FLOATS = [0.1, 1e-5, 1e-4, 1e15, 1e16, 123456789012345.0, 1.0 / 3, 2.0 / 3, 1e-300]
FLOATS += [9.99999999999999e22, 0.5, 100.0, 1.0, 0.000123456789, 99999999999999.99, 2.5e-5]


@pytest.mark.parametrize("value", FLOATS + [-v for v in FLOATS])
def test_floats_print_as_sympy_prints_them(value):
    f = sp.Float(value)
    for e in [f, f * x, x**f, x + f, sp.sin(f * x), f * x / y, x - f]:
        assert kernels.tree_str(e) == str(e), e


def test_float_digits_are_mpmaths_for_any_double():
    rng = random.Random(5)
    values = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-320, 308) for _ in range(3000)]
    values += [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.0, 2.0**-1074 * 3]
    values += [float(n) + 0.5 for n in range(10**15 - 3, 10**15 + 3)]
    for v in values:
        mpf = sp.Float(v)._mpf_
        for strip in (False, True):
            assert kernels.float_text(v, strip) == to_str(mpf, 15, strip_zeros=strip), v


SHAPES = [
    x - y,
    1 - x,
    x - 1,
    sp.pi - 2 * x,
    sp.E - x / 2,
    2.5 - x,
    -x + 2.5 * y,
    sp.sqrt(x) / x,
    1 / (x * y),
    x / (y + 1),
    -3 * x / 2,
    2 * x**2 / 3,
    -x * (y + z),
    -2.5 * (x + y) * z,
    x ** sp.Rational(3, 2),
    1 / sp.sqrt(x),
    x**-2,
    x**-1.5,
    sp.Rational(1, 2) ** x,
    2 ** (-x),
    (-1) ** x,
    sp.exp(-(x**2) / 2) / sp.sqrt(2 * sp.pi),
    -2 * sp.sqrt(3),
    -2 * sp.sqrt(3) * x,
    1 / (x * y) ** y,
    sp.Pow(x * y, -1, evaluate=False),
    sp.Mul(x, sp.Pow(y * z, -1, evaluate=False), evaluate=False),
    sp.Mul(1, x, evaluate=False),
    sp.Mul(x, 2, sp.Pow(y, -2, evaluate=False), evaluate=False),
    sp.Mul(-1, sp.Pow(x, -1, evaluate=False), sp.Pow(y, -1, evaluate=False), evaluate=False),
    sp.Pow(sp.E, x, evaluate=False),
    sp.Add(x, sp.Add(y, -z, evaluate=False), evaluate=False),
    sp.Abs(x - 1) + sp.asin(x) * sp.atanh(y),
    x**y * sp.exp(-x * y) + sp.log(x) ** 2,
    sp.pi * x + 2 * x + sp.sqrt(2) * x,
    x * sp.sin(9) + x * sp.log(4) + 7 * x,
    sp.exp(sp.atan(2)) + sp.exp(9) + x,
]


@pytest.mark.parametrize("expr", SHAPES, ids=str)
def test_shapes_print_and_order_as_sympys(expr):
    before = fallbacks()
    assert kernels.tree_str(expr) == str(expr)
    for node in sp.preorder_traversal(expr):
        if node.is_Add:
            assert kernels.tree_ordered_terms(node) == node.as_ordered_terms()
        if node.is_Mul:
            assert kernels.tree_ordered_factors(node) == node.as_ordered_factors()
    assert fallbacks() == before


@pytest.mark.parametrize(
    "expr",
    [
        sp.Mul(-2, sp.Pow(sp.S.Half, x, evaluate=False), evaluate=False),
        sp.Mul(-6, sp.Pow(3, sp.Rational(-1, 2), evaluate=False), evaluate=False),
        sp.Mul(1, sp.Pow(z - y, -1, evaluate=False), sp.Pow(x, -1, evaluate=False), evaluate=False),
    ],
    ids=sp.srepr,
)
def test_what_printing_would_evaluate_is_printed_by_sympy(expr):
    before = fallbacks()
    assert kernels.tree_str(expr) == str(expr)
    assert fallbacks()[0] == before[0] + 1


def test_keys_of_equal_float_and_rational_are_unordered():
    pairs = [
        (sp.Float(2.0), sp.Integer(2)),
        (sp.Float(0.5), sp.S.Half),
        (sp.Float(0.0), sp.S.Zero),
        (sp.sin(2.0 * x), sp.sin(2 * x)),
        (x**2.0, x**2),
    ]
    for a, b in pairs:
        assert kernels.tree_sort_key_compare(a, b) == python_compare(a, b) == 0
    assert kernels.tree_sort_key_compare(sp.Float(0.1), sp.Rational(1, 10)) == 1


@pytest.mark.parametrize("order", list(itertools.permutations(range(4))))
def test_factors_with_unordered_keys_sort_as_python_sorts_them(order):
    items = [sp.sin(2.0 * x), sp.sin(2 * x), sp.cos(y), sp.sin(2.0 * x) ** 2]
    mul = sp.Mul._from_args([items[k] for k in order])
    assert kernels.tree_ordered_factors(mul) == mul.as_ordered_factors()


def test_coefficients_too_close_to_order_are_left_to_sympy():
    expr = sp.sqrt(2) * x + sp.Float(1.4142135623730951) * x  # the same double
    before = fallbacks()
    assert kernels.tree_ordered_terms(expr) == expr.as_ordered_terms()
    assert fallbacks()[1] == before[1] + 1


@pytest.fixture
def deep_recursion():
    """Room for sympy's own printer, which recurses several frames per level."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(20000)
    yield
    sys.setrecursionlimit(limit)


def test_deep_trees_are_refused_or_printed_by_sympy(deep_recursion):
    deep = x
    for _ in range(450):
        deep = sp.sin(deep, evaluate=False)
    before = fallbacks()
    assert kernels.tree_str(deep) == str(deep)
    assert fallbacks()[0] == before[0] + 1
    with pytest.raises(RuntimeError, match="too deep"):
        kernels.tree_sort_key_compare(deep, sp.sin(deep, evaluate=False))


def test_printing_a_regression_formula_takes_microseconds():
    exprs = parsed(formulas.regression(step=97))[:60]
    spent = []
    for e in exprs:
        timed = kernels.tree_str_seconds(e, 200)
        if timed is not None:
            assert timed[1] == str(e)
            spent.append(timed[0] * 1e6)
    print(f"\nnative str: median {statistics.median(spent):.1f} µs CPU over {len(spent)} formulas")
