"""Behavioural descriptor: the compiled module against the documented numpy/sympy steps."""

import numpy as np
import pytest
import reference as ref
import sympy as sp

x, y, z, t, u, w = sp.symbols("x y z t u w")
f = sp.Function("f")

EXPRESSIONS = {
    "constant": sp.Integer(3),
    "constant-nan": sp.nan,
    "constant-inf": sp.oo,
    "pi-expr": sp.pi / 2,
    "x": x,
    "sin": sp.sin(x),
    "poly-2var": x**2 * y + 3,
    "exp-2var": sp.exp(x) * y,
    "sqrt-complex": sp.sqrt(x - 50),
    "log-complex": sp.log(x - 10),
    "imaginary": sp.I * x,
    "unknown-function": f(x),
    "unknown-function-2var": f(x) + y,
    "piecewise": sp.Piecewise((x, x < 5), (x**2, True)),
    "abs": sp.Abs(x - 3) * y,
    "huge": sp.exp(sp.exp(x)),
    "division-by-zero": 1 / (x - x),
    "five-vars": x * y / (z + t) + sp.cos(u * w),
    "decaying": sp.exp(-x),
}

RANGES = {
    "five-vars": {0: (1.0, 2.0), 1: (0.5, 3.0), 3: (2.0, 2.0), 5: (1, 4)},
    "x": {0: (5, 5)},
    "sin": {0: (-3.0, 3.0)},
    "poly-2var": {1: (0.0, 1.0)},
}


def same(a, b):
    """Equal values of equal types; arrays element for element (NaN equal to NaN)."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            type(a) is type(b)
            and a.dtype == b.dtype
            and a.shape == b.shape
            and np.array_equal(a, b, equal_nan=True)
        )
    if isinstance(a, float) and np.isnan(a):
        return type(a) is type(b) and np.isnan(b)
    return type(a) is type(b) and a == b


CASES = [(name, None) for name in EXPRESSIONS] + list(RANGES.items())


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name, ranges", CASES)
def test_eval_safe_matches_reference(m, name, ranges):
    expr = EXPRESSIONS[name]
    for grid in (m.GRID, m.GRID_LINEAR, np.linspace(0, 1, 7)):
        got, want = m._eval_safe(expr, grid, ranges), ref.eval_safe(expr, grid, ranges)
        assert same(got[0], want[0]) and same(got[1], want[1])
    assert same(
        m._eval_safe(expr, m.GRID, ranges, seed=5)[0],
        ref.eval_safe(expr, m.GRID, ranges, seed=5)[0],
    )


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name, ranges", CASES)
def test_extract_behavior_matches_reference(m, name, ranges):
    expr = EXPRESSIONS[name]
    np.random.seed(1234)
    got = m.extract_behavior(expr, ranges)
    np.random.seed(1234)
    want = ref.extract_behavior(expr, ranges)
    assert list(got) == list(want)
    for key in want:
        assert same(got[key], want[key]), key


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", ["constant", "x", "five-vars", "unknown-function"])
def test_second_grid_of_another_length_is_evaluated_again(m, monkeypatch, name):
    # The linear evaluation is shared only while both grids sample alike.
    linear = np.linspace(-5.0, 5.0, 16)
    monkeypatch.setattr(m, "GRID_LINEAR", linear)
    expr = EXPRESSIONS[name]
    np.random.seed(7)
    got = m.extract_behavior(expr)
    np.random.seed(7)
    want = ref.extract_behavior(expr, grid_linear=linear)
    assert all(same(got[k], want[k]) for k in want)


def test_constant_curve(m):
    vals, coord = m._eval_safe(sp.Integer(3), m.GRID)
    assert np.all(vals == 3.0) and np.array_equal(coord, m.GRID) and coord is not m.GRID
    assert m._growth_class(vals) == "bounded"


def test_unevaluable_expression_gives_substitute_curve(m):
    vals, coord = m._eval_safe(f(x), m.GRID)
    assert np.array_equal(vals, np.linspace(0.1, 2.0, 64)) and np.array_equal(coord, m.GRID)


@pytest.mark.parametrize(
    "expr, growth, periodic",
    [
        (x, "polynomial", False),
        (sp.sin(x), "oscillatory", True),
        (sp.exp(x), "exponential", False),
        (sp.exp(-x), "decaying", False),
        (x / 1000, "linear", False),
    ],
)
def test_growth_and_periodicity(m, expr, growth, periodic):
    b = m.extract_behavior(expr)
    assert b["growth_class"] == growth and b["is_periodic"] is periodic


def test_sin_changes_sign_fifteen_times(m):
    vals, _ = m._eval_safe(sp.sin(x), m.GRID)
    assert int(np.sum(np.diff(np.sign(vals)) != 0)) == 15


def test_empty_range_is_widened(m):
    _, coord = m._eval_safe(x, m.GRID, {0: (5, 5)})
    assert np.array_equal(coord, np.linspace(5, 6, 64))


@pytest.mark.parametrize(
    "vals, expected",
    [
        (None, "undefined"),
        (np.arange(5.0), "undefined"),
        (np.full(10, np.nan), "undefined"),
        (np.array([1.0] * 9 + [np.inf]), "exponential"),
        (np.array([np.nan] * 3 + [1.0] * 9), "bounded"),
        (np.linspace(0, 1, 10), "linear"),
    ],
)
def test_growth_class_rules(m, vals, expected):
    assert m._growth_class(vals) == expected


def test_growth_class_of_text_raises(m):
    with pytest.raises(TypeError):
        m._growth_class("not numbers")


@pytest.mark.filterwarnings("ignore")
def test_invalid_values_are_cleaned_before_counting(m):
    for expr in (sp.log(x - 10), 1 / (x - x), sp.exp(sp.exp(x))):
        b = m.extract_behavior(expr)
        assert b["frac_invalid"] == 0.0
        assert b["derivative_vec"] == [] and b["integral_vec"] == []


def test_perturbation_uses_global_random_state(m):
    np.random.seed(3)
    a = m.extract_behavior(sp.sin(x))["sensitivity_perturbation"]
    b = m.extract_behavior(sp.sin(x))["sensitivity_perturbation"]
    np.random.seed(3)
    c = m.extract_behavior(sp.sin(x))["sensitivity_perturbation"]
    assert a != b and a == c


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda m: m.extract_behavior(x, [(0, 1)]), TypeError, "Argument 'var_ranges'"),
        (lambda m: m._eval_safe(x, m.GRID, None, 1.5), TypeError, "Argument 'seed'"),
        (lambda m: m._eval_safe(x, m.GRID, (0, 1)), TypeError, "expected dict, got tuple"),
        (
            lambda m: m.extract_behavior(x, {0: (1, 2, 3)}),
            ValueError,
            "too many values to unpack (expected 2)",
        ),
        (
            lambda m: m.extract_behavior(x, {0: (1,)}),
            ValueError,
            "not enough values to unpack (expected 2, got 1)",
        ),
        (
            lambda m: m.extract_behavior(x, {0: 5}),
            TypeError,
            "cannot unpack non-iterable int object",
        ),
        (lambda m: m.extract_behavior(None), AttributeError, "free_symbols"),
        (lambda m: m.extract_behavior("x"), AttributeError, "free_symbols"),
    ],
)
def test_bad_inputs_raise(m, call, error, text):
    with pytest.raises(error) as info:
        call(m)
    assert text in str(info.value)


def test_bool_seed_is_an_int(m):
    assert same(
        m._eval_safe(x * y, m.GRID, None, True)[0], ref.eval_safe(x * y, m.GRID, None, 1)[0]
    )
