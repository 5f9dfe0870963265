"""The native pieces of a formula's verdict are the Python ones: the form match of a native tree
finds the law, kind and mapping `Judge._form` finds, for formulas as written and for their
canonical forms; the native law fits accept the laws `law_fit.fits` accepts, with the same
mappings, folded constants and numbers to the last bit; and the affine fit both use sums as
numpy sums."""

import random
import warnings

import formulas
import numpy as np
import pytest
import sympy as sp

from source.bank.feynman import load_bank
from source.bank.files import read_rows
from source.bank.laws import CONSTANTS, load_library
from source.bank.parsing import FormulaError, parse_formula
from source.judge import canonical, law_fit
from source.judge.constants import BY_SYMBOL
from source.judge.verdicts import Judge

kernels = pytest.importorskip("_brenmoor_testing")

LIBRARY = load_library()
JUDGE = Judge(LIBRARY)


def _law_rows():
    """The library's laws as formulas hold them: renamed, scaled, with an intercept, and with a
    constant folded into the coefficient; each with the form kind it must match as."""
    rows = []
    for name, law in LIBRARY.items():
        symbols = canonical.symbols_of(law)
        # Renamed against the order of names, so that the mapping is no identity.
        to = {s: sp.Symbol(f"X{len(symbols) - k}") for k, s in enumerate(symbols)}
        renamed = law.xreplace(to)
        bounds = {str(x): (1.0, 5.0) for x in to.values()}
        rows.append((renamed, bounds, "identical"))
        rows.append((sp.Float(3.7) * renamed, bounds, "scaled"))
        rows.append((renamed + sp.Float(2.5), bounds, "scaled"))
        # Both at once is no form match, but the law still fits.
        rows.append((sp.Float(-0.5) * renamed + sp.Float(1.25), bounds, None))
        for var, symbol in CONSTANTS.get(name, {}).items():
            value = sp.Float(BY_SYMBOL[symbol].value * 1.003)
            rows.append((renamed.xreplace({to[sp.Symbol(var)]: value}), bounds, None))
    for text in ("8.99e9*q1*q2/r**2", "6.674e-11*M*m/d**2", "2.99792458e8**2*m + 3"):
        e = parse_formula(text)
        rows.append((e, {str(s): (1.0, 5.0) for s in e.free_symbols}, None))
    return rows


def _corpus_rows():
    """(expression, bounds by name or None) of the corpora of real formulas."""
    out = [(f.expr, f.bounds) for f in load_bank()]
    for row in read_rows([str(formulas.SR_BANK)])[::9]:
        out.append((parse_formula(row.formula), row.bounds or None))
    rng = random.Random(2)
    for text in formulas.variants(300) + formulas.random_texts(400, seed=5):
        try:
            e = parse_formula(text)
        except FormulaError:
            continue
        names = sorted(str(s) for s in e.free_symbols)
        bounds = {n: tuple(sorted((rng.uniform(-3, 5), rng.uniform(0.1, 9)))) for n in names}
        out.append((e, bounds if rng.random() < 0.7 else None))
    return out


LAW_ROWS = _law_rows()
ROWS = [(e, b) for e, b, _ in LAW_ROWS] + _corpus_rows()


def _quiet():
    warnings.simplefilter("ignore")
    return np.errstate(all="ignore")


def _same_match(native, expected):
    if expected is None:
        return native is None
    return native is not None and (native.law, native.kind, native.mapping, native.distance) == (
        expected.law,
        expected.kind,
        expected.mapping,
        expected.distance,
    )


def test_laws_match_their_own_form_natively():
    exprs = [e for e, _, _ in LAW_ROWS]
    results, _, _ = kernels.match_forms(exprs, LIBRARY)
    for (expr, _, kind), (handled, found) in zip(LAW_ROWS, results):
        assert handled, expr
        if kind is not None:
            assert found is not None and found.kind == kind, expr


@pytest.mark.parametrize("canonical_core", [False, True])
def test_form_match_is_the_judges(canonical_core):
    exprs = []
    with warnings.catch_warnings(), _quiet():
        for expr, bounds in ROWS:
            exprs.append(canonical.of(expr, bounds).core if canonical_core else expr)
    exprs = [e for e in exprs if e is not None]
    results, _, _ = kernels.match_forms(exprs, LIBRARY)
    handled = found = 0
    for expr, (native_handled, native) in zip(exprs, results):
        if not native_handled:
            continue
        handled += 1
        found += native is not None
        assert _same_match(native, JUDGE._form(expr)), expr
    assert handled > 0.95 * len(exprs)
    assert found > len(LAW_ROWS) // 2


@pytest.mark.parametrize(
    "text",
    ["φ1*x + y", "x*φ2", "m*v**2/2 + φ1"],  # a symbol named φ is a wildcard: no form match
)
def test_wildcard_named_symbols_have_no_form(text):
    expr = parse_formula(text)
    [(handled, found)] = kernels.match_forms([expr], LIBRARY)[0]
    assert handled and found is None and JUDGE._form(expr) is None


def test_a_tree_too_deep_is_left_to_sympy():
    x = sp.Symbol("x")
    deep = x
    for _ in range(300):
        deep = sp.sin(deep)
    [(handled, found)] = kernels.match_forms([deep], LIBRARY)[0]
    assert not handled and found is None


def _fits_of(native, symbols, forms):
    """The Fits `law_fit.fits` builds from its per-form bests, built from the native ones."""
    found = {}
    for k, r2, a, b, mapping in native:
        form = forms[k]
        ours = {str(symbols[mapping[j]]): str(s) for j, s in enumerate(form.symbols)}
        fitted = [law_fit.Fit(form.law, r2, a, b, ours, form.folded)]
        for twin, renaming in form.twins:
            to = dict(renaming)
            fitted.append(
                law_fit.Fit(twin.law, r2, a, b, {k: to[v] for k, v in ours.items()}, twin.folded)
            )
        for fit in fitted:
            old = found.get(fit.law)
            if old is None or law_fit.rank(fit) < law_fit.rank(old):
                found[fit.law] = fit
    return sorted(found.values(), key=law_fit.rank)


def _native_fits(y, columns, forms, threshold=law_fit.R2_THRESHOLD):
    stacked = np.stack(columns) if columns else None

    def values(k, mappings):
        np.testing.assert_array_equal(mappings, law_fit._permutations(mappings.shape[1]))
        return law_fit._evaluate(forms[k], stacked, mappings)

    fits, _ = kernels.law_fits(
        np.ascontiguousarray(y, dtype=float), columns, forms, threshold, values
    )
    return fits


def _inputs(expr, bounds):
    """y, kept symbols and their columns, as `Judge.verdict` gives them to `law_fit.fits`."""
    symbols = canonical.symbols_of(expr)
    arrays = canonical.sample(symbols, bounds)
    canon = canonical.of(expr, bounds)
    kept = canonical.symbols_of(canon.core) if canon.core is not None else []
    columns = [arrays[symbols.index(s)] for s in kept if s in symbols]
    return canon.values, kept, columns


@pytest.mark.parametrize("step, threshold", [(1, law_fit.R2_THRESHOLD), (5, 0.9)])
def test_law_fits_are_law_fit_fits(step, threshold):
    compared = accepted = folded = 0
    with warnings.catch_warnings(), _quiet():
        for expr, bounds in ROWS[::step]:
            y, kept, columns = _inputs(expr, bounds)
            if y is None or len(columns) != len(kept) or len(kept) > law_fit.MAX_FULL_SEARCH:
                continue
            expected = law_fit.fits(y, kept, columns, JUDGE.forms, threshold)
            native = _native_fits(y, columns, JUDGE.forms, threshold)
            assert _fits_of(native, kept, JUDGE.forms) == expected, expr
            compared += 1
            accepted += bool(expected)
            folded += any(f.folded for f in expected)
    assert compared > 0.8 * len(ROWS[::step])
    assert accepted > len(LAW_ROWS) // (2 * step)
    assert folded > 0 or step > 1


@pytest.mark.parametrize(
    "y, columns, expected",
    [
        (np.full(256, 2.5), [np.linspace(1, 2, 256)], []),  # a constant is no law
        (np.full(256, np.nan), [np.linspace(1, 2, 256)], []),  # nothing finite
        (
            np.where(np.arange(256) < 40, np.nan, np.linspace(1, 2, 256)),
            [np.linspace(1, 2, 256)],
            [],
        ),
        (np.linspace(1, 2, 256), [], []),  # no variable
        (np.linspace(1, 2, 256), [np.linspace(1, 2, 256)] * 7, None),  # searched, not tried all
    ],
)
def test_law_fits_early_outs(y, columns, expected):
    assert _native_fits(y, columns, JUDGE.forms) == expected


def _numpy_affine(y, z, masked):
    """`law_fit._affine` as numpy computed it: the masked path, or einsum and BLAS where every
    value is defined."""
    if not masked:
        mz, my = z.mean(axis=1), y.mean()
        dz, dy = z - mz[:, None], y - my
        szz, syy, szy = np.einsum("ij,ij->i", dz, dz), float(dy @ dy), dz @ dy
        r2 = szy * szy / (szz * syy)
        flat = ~(szz > 1e-24 * np.maximum(mz * mz, 1e-300) * y.size)
        r2 = np.where(~flat & np.isfinite(r2), np.minimum(r2, 1.0), 0.0)
        return r2, szy / szz, my - szy / szz * mz
    valid = np.isfinite(z) & np.isfinite(y)[None, :]
    count = valid.sum(axis=1)
    safe_z = np.where(valid, z, 0.0)
    safe_y = np.where(valid, y[None, :], 0.0)
    n = np.maximum(count, 1)
    mz, my = safe_z.sum(axis=1) / n, safe_y.sum(axis=1) / n
    dz = np.where(valid, safe_z - mz[:, None], 0.0)
    dy = np.where(valid, safe_y - my[:, None], 0.0)
    szz, syy, szy = (dz * dz).sum(axis=1), (dy * dy).sum(axis=1), (dz * dy).sum(axis=1)
    r2 = szy * szy / (szz * syy)
    a = szy / szz
    flat = ~(szz > 1e-24 * np.maximum(mz * mz, 1e-300) * n)
    ok = (count >= law_fit.MIN_VALID * y.size) & ~flat & np.isfinite(r2)
    return np.where(ok, np.minimum(r2, 1.0), 0.0), a, my - a * mz


def _rows_to_fit(seed):
    rng = np.random.default_rng(seed)
    y = rng.uniform(-3, 7, 256) * 10 ** rng.uniform(-8, 8)
    z = np.stack(
        [
            2.5 * y + 1.0 + rng.normal(0, 1e-3, 256),  # a close fit
            rng.uniform(0, 1, 256),  # none
            np.full(256, 4.2),  # flat
            np.full(256, 4.2) + rng.normal(0, 1e-14, 256),  # flat up to rounding
            -y * 1e-200,  # tiny, still varying
            np.where(rng.uniform(0, 1, 256) < 0.05, np.nan, y**2),  # a few undefined points
            np.where(rng.uniform(0, 1, 256) < 0.2, np.inf, y),  # too many undefined
            y * 1e300,  # sums overflow
        ]
    )
    return y, z


@pytest.mark.parametrize("seed", range(6))
def test_affine_fit_sums_as_numpy_sums(seed):
    y, z = _rows_to_fit(seed)
    if seed % 2:
        y = np.where(np.arange(256) % 17 == 0, np.nan, y)
    with np.errstate(all="ignore"):
        expected = _numpy_affine(y, z, masked=True)
        got = law_fit._affine(y, z)
        np.testing.assert_array_equal(np.stack(got), np.stack(expected))
        # Row by row as in one block: a row's fit does not depend on the others.
        alone = np.stack([np.concatenate(law_fit._affine(y, z[k : k + 1])) for k in range(len(z))])
        np.testing.assert_array_equal(alone.T, np.stack(got))


@pytest.mark.parametrize("seed", range(4))
def test_affine_fit_is_numpys_defined_path_to_rounding(seed):
    rng = np.random.default_rng(seed)
    y = rng.uniform(1, 5, 256)
    z = np.stack([y**2 + rng.normal(0, s, 256) for s in (1e-6, 1e-2, 1.0, 10.0)])
    with np.errstate(all="ignore"):
        expected = _numpy_affine(y, z, masked=False)
    got = law_fit._affine(y, z)
    for g, e in zip(got, expected):
        np.testing.assert_allclose(g, e, rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    "y, z",
    [
        (np.ones(256), np.ones((2, 255))),
        (np.ones((2, 256)), np.ones((2, 256))),
        (np.ones(256, dtype=np.float32), np.ones((2, 256))),
    ],
)
def test_affine_fit_refuses_other_shapes(m, y, z):
    with pytest.raises(ValueError):
        m._affine_fit(y, z, 0.9)
