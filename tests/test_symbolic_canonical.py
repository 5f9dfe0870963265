"""The canonical form built natively is the one `source.judge.canonical` builds: the same core,
intercept, factor, changes and values, on real formulas with their ranges; and the simple values
it snaps to are those of Python's fractions."""

import math
import random
import warnings

import formulas
import numpy as np
import pytest
import sympy as sp

from source.bank.feynman import load_bank
from source.bank.files import read_rows
from source.bank.parsing import FormulaError, parse_formula
from source.judge import canonical

kernels = pytest.importorskip("_brenmoor_testing")


def _rows():
    """(expression, bounds by name or None) of every corpus."""
    out = []
    for f in load_bank():
        out.append((f.expr, f.bounds))
    for row in read_rows([str(formulas.SR_BANK)])[::9]:
        out.append((parse_formula(row.formula), row.bounds or None))
    rng = random.Random(1)
    for text in formulas.variants(300) + formulas.random_texts(500, seed=3):
        try:
            e = parse_formula(text)
        except FormulaError:
            continue
        names = sorted(str(s) for s in e.free_symbols)
        bounds = {n: tuple(sorted((rng.uniform(-3, 5), rng.uniform(0.1, 9)))) for n in names}
        out.append((e, bounds if rng.random() < 0.7 else None))
    return out


ROWS = _rows()


def _native(expr, bounds, tolerance):
    symbols = canonical.symbols_of(expr)
    arrays = canonical.sample(symbols, bounds)
    return kernels.tree_canonical(expr, lambda t: canonical.values(t, symbols, arrays), tolerance)


@pytest.mark.parametrize("tolerance, step", [(0.005, 1), (0.05, 4), (0.0, 4)])
def test_native_form_is_the_python_form(tolerance, step):
    compared = 0
    rows = ROWS[::step]
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for expr, bounds in rows:
            if not expr.free_symbols:
                continue
            native = _native(expr, bounds, tolerance)
            if native is None:
                continue
            core, intercept, scale, changes, values = native
            expected = canonical.canonical_form(expr, bounds, tolerance)
            assert sp.srepr(core) == sp.srepr(expected.core), expr
            assert (intercept, scale, changes) == (
                expected.intercept,
                expected.scale,
                expected.changes,
            ), expr
            if expected.values is None:
                assert values is None
            else:
                np.testing.assert_array_equal(np.array(values), expected.values)
            compared += 1
    assert compared > 0.9 * len(rows)


@pytest.mark.parametrize(
    "x", [0.5, 0.4999, 1.9998, -2.0003, 0.333, 1.047, 6.2832, 24.01, 24.2, 0.07, 1e-9, 3e5]
)
def test_snapped_values_follow_pythons_fractions(x):
    expr = sp.Symbol("x") ** sp.Float(x) + sp.Symbol("x")
    symbols = [sp.Symbol("x")]
    arrays = canonical.sample(symbols, None)
    _, _, _, changes, _ = kernels.tree_canonical(
        expr, lambda t: canonical.values(t, symbols, arrays), 0.005
    )
    expected = canonical.simple_value(x, 0.005)
    snaps = [c for c in changes if "\u2192" in c]
    assert snaps == ([f"{x:.6g} \u2192 {expected}"] if expected is not None else [])
    assert math.isfinite(x)
