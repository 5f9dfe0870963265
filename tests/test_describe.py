"""Variable ranges and descriptor assembly."""

import dataclasses
import inspect

import numpy as np
import pytest
import reference as ref
import sympy as sp

x, y, z, theta = sp.symbols("x y z theta")


@pytest.mark.parametrize(
    "bank, kwargs, expected",
    [
        ([x * theta], {}, [{0: (0.01, 1.0), 1: (0.1, 10.0)}]),
        ([("a", y + z)], {"default_range": (1.0, 2.0)}, [{0: (1.0, 2.0), 1: (1.0, 2.0)}]),
        ([sp.Symbol("x1") + x], {"default_range": (3.0, 4.0)}, [{0: (0.1, 10.0), 1: (3.0, 4.0)}]),
        (
            [sp.Integer(2), sp.Symbol("m") * sp.Symbol("c")],
            {},
            [{}, {0: (0.1, 10.0), 1: (0.1, 10.0)}],
        ),
        ([], {}, []),
    ],
)
def test_get_ranges_for_bank(m, bank, kwargs, expected):
    assert m.get_ranges_for_bank(bank, **kwargs) == expected


def test_default_range_object_is_shared(m):
    default = (1.0, 2.0)
    ranges = m.get_ranges_for_bank([y], default_range=default)
    assert ranges[0][0] is default


@pytest.mark.parametrize(
    "bank, error",
    [
        ([x, ("id", y)], AttributeError),  # only the first entry decides the bank's form
        ([("id",)], IndexError),
        ([None], AttributeError),
    ],
)
def test_get_ranges_for_bank_errors(m, bank, error):
    with pytest.raises(error):
        m.get_ranges_for_bank(bank)


def test_get_var_ranges(m):
    X = np.array([[3.0, 10], [1.0, 20], [2.0, 30]])
    assert m.get_var_ranges(X, 1) == {0: (1.0, 3.0)}
    r = m.get_var_ranges(X, 2)
    assert r == {0: (1.0, 3.0), 1: (10.0, 30.0)} and type(r[1][0]) is float
    assert m.get_var_ranges(X, 0) == {}
    with pytest.raises(IndexError):
        m.get_var_ranges(X, 3)


def test_describe_fills_every_field(m):
    d = m.describe("x**2 + y")
    v0, v1 = sp.symbols("v0 v1")
    assert type(d) is m.ExprDescriptor
    assert d.numeric_expr == x**2 + y and d.expr.free_symbols == {v0, v1}
    assert d.n_vars == 2 and d.operators[0] == "Add" and d.root_type == "Add"
    assert d.depth == 2 and d.n_nodes == 5
    assert d.behavior_vec.shape == (64,) and d.derivative_vec == [] and d.integral_vec == []


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize(
    "expr, ranges",
    [
        (x**2 + y, None),
        (sp.sin(x) * theta, {0: (0.0, 1.0), 1: (1.0, 2.0)}),
        (sp.Integer(4), None),
        (sp.Function("g")(x), None),
    ],
)
def test_describe_matches_its_parts(m, expr, ranges):
    np.random.seed(11)
    d = m.describe(expr, ranges, 3)
    np.random.seed(11)
    want = ref.extract_behavior(expr, ranges)
    for key, value in want.items():
        got = getattr(d, key)
        if isinstance(value, np.ndarray):
            assert np.array_equal(got, value)
        else:
            assert got == value and type(got) is type(value), key
    assert d.expr == m._canonicalize_expr(expr, 3)
    structure = m.extract_structure(d.expr)
    assert all(getattr(d, k) == v for k, v in structure.items())


def test_source_id_names_only(m):
    np.random.seed(0)
    a = m.describe("x**2 + y", source_id=7)
    np.random.seed(0)
    b = m.describe("x**2 + y")
    assert {str(s) for s in a.expr.free_symbols} == {"__KLTN_7_v0", "__KLTN_7_v1"}
    fields = [f.name for f in dataclasses.fields(a) if f.name != "expr"]
    assert all(
        np.array_equal(getattr(a, k), getattr(b, k))
        if k == "behavior_vec"
        else getattr(a, k) == getattr(b, k)
        for k in fields
    )


def test_wildcards_keep_their_names(m):
    phi = sp.Symbol("φ1")
    d = m.describe(phi * x)
    assert phi in d.expr.free_symbols and sp.Symbol("v0") in d.expr.free_symbols


def test_unparseable_text(m):
    with pytest.raises(ValueError) as info:
        m.describe("x +* y")
    assert str(info.value).startswith("Cannot parse expression 'x +* y': ")
    assert info.value.__context__ is not None


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"expr": "x", "var_ranges": [1]}, TypeError),
        ({"expr": 5}, AttributeError),
        ({"expr": None}, AttributeError),
    ],
)
def test_describe_bad_inputs(m, kwargs, error):
    with pytest.raises(error):
        m.describe(**kwargs)


def test_signatures(m):
    assert (
        str(inspect.signature(m.describe))
        == "(expr: 'sp.Expr', var_ranges: 'dict' = None, source_id=None) -> 'ExprDescriptor'"
    )
    assert (
        str(inspect.signature(m._eval_safe))
        == "(expr: 'sp.Expr', grid: 'np.ndarray', var_ranges: 'dict' = None, seed: 'int' = 0)"
    )
    assert str(inspect.signature(m.get_ranges_for_bank)) == "(bank, default_range=(0.1, 10.0))"
    assert (
        inspect.getdoc(m.describe).splitlines()[-1].strip()
        == "ValueError: If expr cannot be sympified."
    )
    assert m.describe.__doc__.split("\n")[2] == "    "  # blank lines keep their indentation
    assert m._eval_safe.__doc__.startswith("\n    Evaluate expression on a grid.")
