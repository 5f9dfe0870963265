"""Expressions evaluated natively equal the generated numpy function (lambdify) they replace."""

import math
import warnings

import _brenmoor_testing as kernels
import numpy as np
import pytest
import reference as ref
import sympy as sp
from banks import random_bank

from source.bank.feynman import load_bank

x, y = sp.symbols("x y")


def lambdified(expr, syms, arrays):
    return sp.lambdify(syms, expr, modules=["numpy"], dummify=True)(*arrays)


def assert_same_values(got, want):
    got = np.broadcast_to(np.asarray(got, dtype=float), np.shape(want))
    want = np.asarray(want, dtype=float)
    finite = np.isfinite(want)
    assert np.array_equal(np.isfinite(got), finite)
    assert np.array_equal(np.isnan(got), np.isnan(want))
    assert np.array_equal(
        got[~finite & ~np.isnan(want)], want[~finite & ~np.isnan(want)]
    )  # same infinities
    np.testing.assert_allclose(got[finite], want[finite], rtol=1e-12, atol=0)


def samples(n_syms, seed):
    rng = np.random.default_rng(seed)
    if seed % 2:
        return [rng.uniform(-3.0, 10.0, 64) for _ in range(n_syms)]  # negative bases, zeros nearby
    return [np.exp(rng.uniform(np.log(0.1), np.log(100.0), 64)) for _ in range(n_syms)]


def banks():
    return [f.expr for f in load_bank()] + random_bank(800, seed=11, depth=4)


def test_values_equal_the_generated_function(m):
    compiled = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for k, e in enumerate(banks()):
            syms = sorted(e.free_symbols, key=str)
            if not syms:
                continue
            arrays = samples(len(syms), k)
            got = kernels.numeric_program(e, syms, arrays)
            if got is None:
                continue
            compiled += 1
            assert_same_values(got, lambdified(e, syms, arrays))
    assert compiled > 750


EDGES = [
    (sp.sqrt(x), [-4.0, -0.0, 0.0, 4.0]),  # invalid real square roots
    (x ** sp.Rational(1, 3) + x ** sp.Rational(-3, 2), [-8.0, -1.0, 0.0, 8.0]),
    (1 / x + x / (x - 1), [0.0, 1.0, -0.0, 2.0]),  # zero denominators
    (x**-2 + x**-1, [0.0, -0.0, 1e-300, 3.0]),
    (sp.exp(x**3) - sp.exp(-x), [10.0, 1000.0, -1000.0, 0.5]),  # overflowing exponentials
    (sp.log(x) * sp.sign(x) + sp.Abs(x), [-1.0, 0.0, float("nan"), 2.0]),
    (sp.floor(x) + sp.ceiling(-x) + sp.atan(x) - sp.acosh(x), [0.5, 1.5, -2.5, 3.0]),
    (2**x + sp.pi * sp.E * x - sp.Float("0.1") * x**2.5, [1.0, 1100.0, -3.0, 0.0]),
    (-x / 2 + sp.Rational(3, 7) - sp.asin(x) * sp.tanh(x), [0.25, -0.5, 2.0, 1e308]),
]


@pytest.mark.parametrize("expr, values", EDGES)
def test_edge_cases(m, expr, values):
    arrays = [np.array(values)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = kernels.numeric_program(expr, [x], arrays)
        want = lambdified(expr, [x], arrays)
    assert got is not None
    assert_same_values(got, want)


@pytest.mark.parametrize(
    "expr",
    [
        sp.Piecewise((x, x > 0), (0, True)),
        sp.Function("f")(x) + 1,
        sp.I * x,
        sp.zoo * x,
        sp.gamma(x),
        sp.Max(x, y),
        x + sp.oo,
    ],
)
def test_unsupported_nodes_take_the_generated_function(m, expr):
    syms = sorted(expr.free_symbols, key=str)
    assert kernels.numeric_program(expr, syms, [np.ones(4)] * len(syms)) is None


def test_descriptors_equal_the_lambdify_path(m):
    fields = [
        "is_bounded",
        "is_periodic",
        "is_monotone",
        "growth_class",
        "frac_invalid",
        "boundedness",
    ]
    numbers = ["variance", "derivative_approx", "integral_approx", "stability_score"]
    bank = load_bank()
    exprs = [(f.expr, f.var_ranges()) for f in bank] + [
        (e, None) for e in random_bank(150, seed=5, depth=4)
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for e, ranges in exprs:
            np.random.seed(1)
            got = m.extract_behavior(e, var_ranges=ranges)
            np.random.seed(1)
            want = ref.extract_behavior(e, ranges)
            assert [got[k] for k in fields] == [want[k] for k in fields], str(e)
            for k in numbers:
                a, b = got[k], want[k]
                assert (math.isnan(a) and math.isnan(b)) or a == pytest.approx(
                    b, rel=1e-12, abs=0
                ), (str(e), k)
            assert_same_values(got["behavior_vec"], want["behavior_vec"])
