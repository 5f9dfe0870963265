"""The operators of symbolic-regression engines mean on their whole domain what the engines
define: protected operations in the prefix form, NaN outside the domain for the safe_ family,
never a complex value; the same numbers on every path that evaluates them."""

import json
import math
import os
import subprocess
import sys
import time
import warnings

import _brenmoor_testing as kernels
import numpy as np
import pytest
import sympy as sp

from source.bank.parsing import parse_formula
from source.bank.vocabulary import Guarded

x = sp.Symbol("x")
NAN, INF = math.nan, math.inf
# Negative, zero, tiny (on both sides of the protection), the protection's edge, positive.
POINTS = [-2.5, -1.0, -0.001, -1e-12, 0.0, 1e-12, 0.0005, 0.001, 0.0011, 0.7, 1.0, 3.0]


def _protected(value, argument, fixed):
    return value() if abs(argument) > 0.001 else fixed


def _on(value, defined):
    return value() if defined else NAN


# (formula, its definition at x). The prefix form is told by add/sub/mul/div calls; `add(f, 0)`
# puts a lone unary call in that form.
DEFINITIONS = {
    "div(3, x)": lambda v: _protected(lambda: 3 / v, v, 1.0),
    "div(x, x)": lambda v: _protected(lambda: 1.0, v, 1.0),
    "add(inv(x), 0)": lambda v: _protected(lambda: 1 / v, v, 0.0),
    "add(sqrt(x), 0)": lambda v: math.sqrt(abs(v)),
    "add(log(x), 0)": lambda v: _protected(lambda: math.log(abs(v)), v, 0.0),
    "sub(max(x, 0.5), min(x, -0.5))": lambda v: max(v, 0.5) - min(v, -0.5),
    "mul(neg(x), abs(x))": lambda v: -v * abs(v),
    "inv(x)": lambda v: 1 / v if v else INF,  # infix engines: the plain inverse
    "safe_div(3, x)": lambda v: _on(lambda: 3 / v, v != 0),
    "safe_sqrt(x)": lambda v: _on(lambda: math.sqrt(v), v >= 0),
    "safe_log(x)": lambda v: _on(lambda: math.log(v), v > 0),
    "safe_log2(x)": lambda v: _on(lambda: math.log2(v), v > 0),
    "safe_log10(x)": lambda v: _on(lambda: math.log10(v), v > 0),
    "safe_log1p(x)": lambda v: _on(lambda: math.log(1 + v), v > -1),  # as log(1 + x) is built
    "safe_asin(x)": lambda v: _on(lambda: math.asin(v), abs(v) <= 1),
    "safe_acos(x)": lambda v: _on(lambda: math.acos(v), abs(v) <= 1),
    "safe_acosh(x)": lambda v: _on(lambda: math.acosh(v), v >= 1),
    "safe_atanh(x)": lambda v: _on(lambda: math.atanh(v), abs(v) < 1),
    "safe_pow(x, 0.5)": lambda v: _on(lambda: v**0.5, v >= 0),
    "safe_pow(x, -0.5)": lambda v: _on(lambda: v**-0.5, v > 0),
    "safe_pow(x, -1)": lambda v: _on(lambda: 1 / v, v != 0),
    "safe_pow(x, 3)": lambda v: v**3,
    "atanh_clip(x)": lambda v: math.atanh(w) if (w := (v + 1) % 2 - 1) != -1 else -INF,
}


def same(got, want):
    if math.isnan(want):
        return math.isnan(got)
    if math.isinf(want):
        return not math.isfinite(got)
    return math.isclose(got, want, rel_tol=1e-12, abs_tol=1e-300)


def symbolic_value(expr, point):
    """The parsed expression's own value at x = point, as sympy gives it: a real number or NaN,
    never complex."""
    value = expr.subs(x, sp.Float(point))
    if value is sp.nan:
        return NAN
    if value in (sp.zoo, sp.oo, -sp.oo):
        return INF
    assert value.is_number and not value.has(sp.I) and value.is_extended_real, value
    return float(value)


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("text", DEFINITIONS)
def test_each_operator_is_its_definition_at_every_point(text, point):
    expr = parse_formula(text)
    want = DEFINITIONS[text](point)
    got = symbolic_value(expr, point)
    assert same(got, want), (text, point, got, want)


@pytest.mark.parametrize("text", DEFINITIONS)
def test_the_engine_evaluates_them_as_defined_on_every_path(m, text):
    expr = parse_formula(text)
    points = np.array(POINTS)
    want = [DEFINITIONS[text](p) for p in POINTS]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        engine = np.asarray(m._numeric_values(expr, [x], [points]), dtype=float)
        generated = sp.lambdify([x], expr, modules=["numpy"], dummify=True)(points)
        native = kernels.numeric_program(expr, [x], [points])
    engine = np.broadcast_to(engine, points.shape)
    assert not np.iscomplexobj(engine) and not np.iscomplexobj(generated)
    assert all(same(g, w) for g, w in zip(engine, want)), (text, engine, want)
    assert all(same(g, w) for g, w in zip(np.broadcast_to(generated, points.shape), want))
    if native is not None:  # compiled where every node is known, else the generated function
        native = np.broadcast_to(np.asarray(native, dtype=float), points.shape)
        assert all(same(g, w) for g, w in zip(native, want)), (text, native, want)


@pytest.mark.parametrize("text", DEFINITIONS)
@pytest.mark.parametrize("ranges", [{0: (-2.0, 2.0)}, {0: (-0.002, 0.002)}, {}])
def test_describing_them_gives_real_finite_descriptors(m, text, ranges):
    expr = parse_formula(text)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        behaviour = m.extract_behavior(expr, ranges)
        descriptor = m.describe(expr, ranges)
    vector = np.asarray(behaviour["behavior_vec"])
    assert vector.dtype.kind == "f" and np.isfinite(vector).all()
    assert np.array_equal(np.asarray(descriptor.behavior_vec), vector)
    structure = m.extract_structure(expr)
    assert structure["n_vars"] == len(expr.free_symbols) and structure["n_nodes"] >= 1


@pytest.mark.parametrize(
    "text, want",
    [
        # protection decided where the argument is a number: no guard left in the formula
        ("div(x, 0.5)", 2.0 * x),
        ("div(x, 0.0005)", sp.Integer(1)),
        ("add(inv(0), x)", x),
        ("add(log(-1), x)", x),
        ("add(sqrt(-4), x)", x + 2),
        ("safe_sqrt(-4) + x", sp.nan),
        ("safe_log(0)*x", sp.nan),
        ("safe_div(x, 0)", sp.nan),
        ("safe_pow(-8, 1/3)", sp.nan),
        ("safe_pow(-2, 3) + x", x - 8),
        # a guard that meets NaN: the fixed value, as a comparison with NaN is false
        ("div(x, safe_log(-1))", sp.Integer(1)),
    ],
)
def test_a_numeric_argument_decides_the_guard(text, want):
    got = parse_formula(text)
    assert got == want or (want is sp.nan and got is sp.nan), got
    assert not got.has(sp.I) and not got.atoms(Guarded)


@pytest.mark.parametrize("text", DEFINITIONS)
def test_a_formula_prints_as_text_that_reads_back_the_same(text):
    expr = parse_formula(text)
    assert parse_formula(str(expr)) == expr, str(expr)


@pytest.mark.parametrize("depth", [1, 5, 60])
def test_nested_guards_cost_what_their_text_costs(m, depth):
    # Each guard is one node that names its arguments once: a program nesting divisions in
    # their denominators stays as small as its text, to parse, to describe and to evaluate.
    text = "X9"
    for k in range(depth):
        text = f"div(X{k % 9}, add(X{(k + 1) % 9}, {text}))"
    started = time.perf_counter()
    expr = parse_formula(text)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        descriptor = m.describe(expr, {})
    assert descriptor.n_nodes <= 6 * depth + 1
    assert time.perf_counter() - started < 5


def test_the_prefix_form_is_told_by_its_operations_not_by_its_names():
    # `sqrt`, `log` and `inv` are protected in a program written in the prefix form only.
    assert parse_formula("sqrt(x) + log(x)") == sp.sqrt(x) + sp.log(x)
    assert parse_formula("add(sqrt(x), log(x))").has(sp.Abs)
    assert parse_formula("x*inv(x)") == 1
    # names of the prefix operations that are not called are variables and change nothing
    assert parse_formula("sqrt(x) + add") == sp.sqrt(x) + sp.Symbol("add")


HOF = [
    "id,formula,var1_name,var1_low,var1_high,var2_name,var2_low,var2_high",
    'g1,"sub(mul(X0, X1), div(X1, 0.5))",X0,-2,2,X1,-1,1',
    'g2,"div(X0, sub(X1, X1))",X0,-2,2,X1,-1,1',
    'g3,"add(log(X0), sqrt(mul(X1, X1)))",X0,-2,2,X1,-1,1',
    'g4,"add(inv(X0), max(X0, min(X1, 0.3)))",X0,-2,2,X1,-1,1',
    'g5,"div(add(X0, X1), X1)",X0,-2,2,X1,-1,1',
    's1,"safe_log(X0)*X1 + safe_sqrt(X1)",X0,-2,2,X1,-1,1',
    's2,"safe_div(X0, X1) + safe_pow(X0, 0.5)",X0,-2,2,X1,-1,1',
    's3,"atanh_clip(X0) + safe_acosh(X1)*X0",X0,-2,2,X1,-1,1',
    's4,"safe_log(X0)*X1 + 2*safe_sqrt(X1)",X0,-2,2,X1,-1,1',
    'k1,"X0*X1 - 2*X1",X0,-2,2,X1,-1,1',
]


def test_a_bank_of_such_formulas_runs_through_detect(tmp_path):
    (tmp_path / "hof.csv").write_text("\n".join(HOF) + "\n")
    out = subprocess.run(
        [sys.executable, "-P", "-m", "source", "detect", "hof.csv", "--json", "out.json"],
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        env=dict(os.environ, GROQ_API_KEY=""),
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    assert "Traceback" not in out.stderr and "Warning" not in out.stderr, out.stderr
    assert out.stdout.startswith(f"KELTRAN: {len(HOF) - 1} formulas (hof.csv)"), out.stdout[:300]
    doc = json.loads((tmp_path / "out.json").read_text())
    assert doc["skipped"] == []
    text = json.dumps(doc)
    assert " I" not in text and "*I" not in text and "zoo" not in text


@pytest.mark.parametrize(
    "prefix, infix",
    [
        ("div(mul(q1, q2), mul(4*pi*epsilon, mul(r, r)))", "q1*q2/(4*pi*epsilon*r**2)"),
        ("safe_div(mul(n, mul(R, T)), V)", "n*R*T/V"),
        ("mul(n, mul(R, mul(T, inv(V))))", "n*R*T/V"),
    ],
)
def test_a_protected_operation_has_the_laws_form_where_it_never_leaves_its_guard(prefix, infix):
    from source.api import detect

    guarded, plain = detect([prefix, infix]).formulas
    assert guarded["verdict"] == plain["verdict"] == "known" and guarded["law"] == plain["law"]
    # known by its form, not only by its values: the guard never acts on the ranges
    assert guarded["kind"] == "canonical" and "the plain operation on the ranges" in "; ".join(
        guarded["changes"]
    )
