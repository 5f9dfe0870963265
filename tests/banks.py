"""Banks of expressions and descriptors for tests and benchmarks."""

import random
import warnings

import numpy as np
import sympy as sp

SYMBOLS = sp.symbols("x y z t")
UNARY = [sp.sin, sp.cos, sp.exp, sp.log, sp.sqrt]


def random_expr(rng, depth=3):
    """A random formula over x, y, z, t built from + * / ** and unary functions."""
    if depth == 0 or rng.random() < 0.25:
        return rng.choice(SYMBOLS) if rng.random() < 0.7 else sp.Integer(rng.randint(1, 5))
    kind = rng.random()
    if kind < 0.3:
        return sp.Add(*[random_expr(rng, depth - 1) for _ in range(rng.randint(2, 4))])
    if kind < 0.6:
        return sp.Mul(*[random_expr(rng, depth - 1) for _ in range(rng.randint(2, 3))])
    if kind < 0.75:
        return random_expr(rng, depth - 1) ** rng.randint(2, 3)
    return rng.choice(UNARY)(random_expr(rng, depth - 1))


def random_bank(n, seed=0, depth=3):
    rng = random.Random(seed)
    return [random_expr(rng, depth) for _ in range(n)]


def describe_all(m, exprs, ranges=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.random.seed(0)
        return [m.describe(e, None if ranges is None else ranges[i]) for i, e in enumerate(exprs)]


class _Str(str):
    pass


class _List(list):
    pass


def literal_copy(m, d):
    """The same descriptor with field types that force the literal (C API) path."""
    import dataclasses

    return dataclasses.replace(d, operators=_List(d.operators), root_type=_Str(d.root_type))
