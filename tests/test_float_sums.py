"""Float sums that must round as Python's built-in sum does, and what depends on them."""

import math
import random

import _brenmoor_testing as kernels
import pytest
import reference as ref
import sympy as sp

x = sp.Symbol("x")


def adversarial_lists():
    big = 1e308
    yield [1.0, 1e-16, 1e-16]
    yield [1e100, 1.0, -1e100]
    yield [big, big, -big]
    yield [math.inf, 1.0, -1.0]
    yield [math.inf, -math.inf]
    yield [math.nan, 1.0]
    yield [-0.0]
    yield [-0.0, -0.0]
    yield [0.1] * 10
    yield [199.609375, 0.0, 0.390625]
    yield [1e16, 1.0, 1.0, -1e16]
    yield [5e-324, -5e-324, 5e-324]
    yield [-math.inf, -1e308, -1e308]


def random_lists(count=400, seed=0):
    rng = random.Random(seed)
    for _ in range(count):
        n = rng.randint(1, 12)
        scale = 10 ** rng.randint(-20, 20)
        yield [
            rng.choice(
                [
                    rng.uniform(-1, 1) * scale,
                    rng.uniform(-1, 1),
                    1e-16 * rng.random(),
                    float(rng.randint(-1000, 1000)),
                ]
            )
            for _ in range(n)
        ]


@pytest.mark.parametrize("values", list(adversarial_lists()) + list(random_lists()))
def test_native_sum_is_pythons_sum_bit_for_bit(m, values):
    got, want = kernels.python_sum(values), sum(values)
    assert (math.isnan(got) and math.isnan(want)) or (
        got == want and math.copysign(1, got) == math.copysign(1, want)
    ), values


def nested_sin(k, u):
    for _ in range(k):
        u = sp.sin(u)
    return u


def test_permutation_scores_rank_as_pythons_sum(m):
    a = nested_sin(4, sp.exp(x)) * nested_sin(50, x) * nested_sin(56, sp.cos(x))
    b = nested_sin(46, sp.exp(x)) * nested_sin(47, sp.exp(x)) * nested_sin(48, sp.exp(x))
    want = ref.anti_unify_cluster([a, b])
    assert m.anti_unify_cluster([a, b]) == want
    pairing = m._best_commutative_pairing(list(a.args), list(b.args))
    assert pairing == ref.best_commutative_pairing(list(a.args), list(b.args))
