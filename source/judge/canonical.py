"""A formula's canonical numeric form: what is left of it once the habits of fitted output are
set aside, each change said.

Symbolic-regression engines wrap every model in an intercept and a scale (`c + s*(...)`), fit
small terms to noise and leave coefficients and exponents a hair off simple values
(`cos(0.999*X3)`, `X1**1.9998`). The canonical form splits off the additive intercept and the
overall factor, drops the terms whose contribution over the formula's variable ranges is below
a tolerance, and snaps numbers within that tolerance of a simple value (an integer, a fraction of
small denominator, a multiple of pi). The formula's own values decide what is small: they are
taken at seeded points drawn in its ranges (`sample`).
"""

import math
import warnings
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any

import numpy as np
import sympy as sp

from source.bank.vocabulary import Guarded
from source.config import DEFAULT_VAR_RANGE
from source.engine import kt

# Relative distance to a simple value that is snapped; share of a dropped term.
SNAP_TOLERANCE = 0.005
POINTS = 256  # points at which a formula's values are taken
_DENOMINATORS = 6  # largest denominator of a simple fraction
_LARGEST_SIMPLE = 24  # largest numerator of a simple fraction


@dataclass
class Canonical:
    core: sp.Expr | None  # the formula without intercept, scale, small terms; numbers snapped
    # (None where a kept state gave only its text)
    intercept: float = 0.0  # the additive constant split off
    scale: float = 1.0  # the overall factor split off
    changes: list[str] = field(default_factory=list)  # each change, as reports show it
    values: np.ndarray | None = field(
        default=None, repr=False, compare=False
    )  # the formula's, at the points
    printed: str | None = field(default=None, repr=False, compare=False)  # str(core), once made

    def text(self) -> str:
        """The core as printed, printed once: describing, judging and reports all show it."""
        if self.printed is None:
            self.printed = str(self.core)
        return self.printed


def symbols_of(expr: sp.Expr) -> list[sp.Symbol]:
    """The formula's variables, sorted by name (the order ranges are indexed in)."""
    return sorted(expr.free_symbols, key=str)


def sample(
    symbols: list[sp.Symbol], bounds: dict | None, points: int = POINTS, seed: int = 0
) -> list[np.ndarray]:
    """Seeded points drawn uniformly in each variable's range (by name; the default range where
    none is given): one array per symbol. The same symbols and ranges give the same points."""
    rng = np.random.default_rng(seed)
    out = []
    for s in symbols:
        low, high = (bounds or {}).get(str(s), DEFAULT_VAR_RANGE)
        low, high = float(low), float(high)
        if not high > low:
            high = low + 1.0
        out.append(rng.uniform(low, high, points))
    return out


def real_values(raw: Any, shape: tuple[int, ...]) -> np.ndarray:
    """Computed values as a float array of `shape`: NaN where undefined, infinite or complex
    (a vanishing imaginary part aside). ValueError where they cannot take that shape."""
    v = np.asarray(raw)
    if np.iscomplexobj(v):
        v = np.where(np.abs(v.imag) <= 1e-9 * np.abs(v.real), v.real, np.nan)
    v = np.asarray(v, dtype=float)
    if v.shape != shape:
        v = np.broadcast_to(v, shape).copy()
    if not np.isfinite(v).all():
        v = np.where(np.isfinite(v), v, np.nan)
    return v


def values(expr: sp.Expr, symbols: list[sp.Symbol], arrays: list[np.ndarray]) -> np.ndarray | None:
    """The expression's real values at the points (NaN where undefined or complex), or None when
    it cannot be evaluated."""
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            raw = kt._numeric_values(expr, list(symbols), list(arrays))
            return real_values(raw, np.broadcast(*arrays).shape if arrays else ())
    except Exception:  # what cannot be evaluated (zoo, unknown functions, ...) has no values
        return None


def _rms(v: np.ndarray) -> float:
    return float(np.sqrt(np.nanmean(v * v))) if np.isfinite(v).any() else 0.0


def simple_value(x: float, tolerance: float) -> sp.Expr | None:
    """The simple number within `tolerance` (relative) of x: an integer or a fraction of small
    denominator, or such a multiple of pi; None when there is none, or when x is one already."""
    if x == 0 or not math.isfinite(x):
        return None
    for base, unit in ((1.0, sp.Integer(1)), (math.pi, sp.pi)):
        f = Fraction(x / base).limit_denominator(_DENOMINATORS)
        if f == 0 or abs(f.numerator) > _LARGEST_SIMPLE:
            continue
        if abs(float(f) * base - x) <= tolerance * abs(x):
            return sp.Rational(f.numerator, f.denominator) * unit
    return None


def _snapped(expr: sp.Expr, tolerance: float, changes: list[str]) -> sp.Expr:
    floats = {a for a in expr.atoms(sp.Float)}
    swap = {}
    for a in sorted(floats, key=float):
        simple = simple_value(float(a), tolerance)
        if simple is not None:
            swap[a] = simple
            changes.append(f"{_short(a)} \u2192 {simple}")
    return expr.xreplace(swap) if swap else expr


def _short(number: float | sp.Basic) -> str:
    return f"{float(number):.6g}"


def _numeric_factor(term: sp.Expr) -> tuple[sp.Expr, sp.Expr]:
    """A term's numeric factor (every factor without a variable) and the rest."""
    if isinstance(term, sp.Mul):
        coeff, rest = term.as_independent(*term.free_symbols, as_Add=False)
        return coeff, rest
    return term.as_coeff_Mul()


def _factor_of(term: sp.Expr) -> tuple[float, sp.Expr] | None:
    """The numeric factor of a term as a float, and the rest; None where there is none to split."""
    coeff, rest = _numeric_factor(term)
    try:
        value = float(coeff)
    except TypeError:  # a complex factor: nothing to split
        return None
    if value in (0.0, 1.0) or not math.isfinite(value):
        return None
    return value, coeff


def _divided(term: sp.Expr, coeff: sp.Expr) -> sp.Expr:
    """The term over a numeric factor, with no factor left where they were equal (2.5*x/2.5 is x,
    not 1.0*x)."""
    own, rest = _numeric_factor(term)
    ratio = own / coeff
    if ratio.is_number and abs(complex(ratio) - 1) <= 1e-12:
        return rest
    return ratio * rest


def _unguarded(expr: sp.Expr, symbols: list, arrays: list) -> tuple[sp.Expr, list[str]]:
    """The formula with each protected operation that never leaves its guard at the points
    (a division whose denominator stays away from 0, a logarithm of a positive argument) written
    as the plain operation: on the formula's ranges the two are one function, and only the plain
    one has the form of a law. Innermost first, so that an outer guard reads plain arguments."""
    plain_of: dict[sp.Basic, sp.Basic] = {}
    notes: dict[str, None] = {}
    for node in dict.fromkeys(n for n in sp.postorder_traversal(expr) if isinstance(n, Guarded)):
        inner = node.xreplace(plain_of) if plain_of else node
        if not isinstance(inner, Guarded):
            continue
        plain = inner.value(*inner.args)
        ours, theirs = values(inner, symbols, arrays), values(plain, symbols, arrays)
        if ours is None or theirs is None:
            continue
        if np.allclose(ours, theirs, rtol=1e-12, atol=0.0, equal_nan=True):
            plain_of[node] = plain
            notes[f"{type(node).__name__} is the plain operation on the ranges"] = None
    return (expr.xreplace(plain_of) if plain_of else expr), list(notes)


def canonical_form(
    expr: sp.Expr,
    bounds: dict | None = None,
    tolerance: float = SNAP_TOLERANCE,
    symbols: list | None = None,
    arrays: list | None = None,
) -> Canonical:
    """The canonical numeric form of a formula over its variable ranges (`bounds`, by name).
    Each of its terms is evaluated once at the points (`sample`); their sum is the formula's
    values (`Canonical.values`)."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's warnings of values that overflow or are undefined
        return _canonical_form(expr, bounds, tolerance, symbols, arrays)


def _canonical_form(
    expr: sp.Expr, bounds: dict | None, tolerance: float, symbols: list | None, arrays: list | None
) -> Canonical:
    symbols = symbols_of(expr) if symbols is None else symbols
    if not symbols:
        return Canonical(expr)
    arrays = sample(symbols, bounds) if arrays is None else arrays
    expr, plain = _unguarded(expr, symbols, arrays)
    terms = list(expr.args) if isinstance(expr, sp.Add) else [expr]
    numbers = [t for t in terms if t.is_number]
    intercept = 0.0
    try:
        intercept = float(sp.Add(*numbers)) if numbers else 0.0
    except TypeError:  # complex constants: nothing to split
        numbers = []
    terms = [t for t in terms if not (numbers and t.is_number)]
    evaluated = [values(t, symbols, arrays) for t in terms]
    if any(p is None for p in evaluated):
        return Canonical(expr, changes=[])
    parts = [p for p in evaluated if p is not None]
    total = np.sum(parts, axis=0) + intercept
    changes: list[str] = []
    if tolerance > 0 and len(terms) > 1:
        spread = _rms(total - np.nanmean(total))
        shares = [_rms(p - np.nanmean(p)) / spread if spread else 1.0 for p in parts]
        small = [k for k, share in enumerate(shares) if share <= tolerance]
        if len(small) < len(terms):  # when every term is small alike, none stands out as noise
            for k in small:
                intercept += float(np.nanmean(parts[k]))
                changes.append(f"dropped {terms[k]} ({100 * shares[k]:.2g} % of the variation)")
            terms = [t for k, t in enumerate(terms) if k not in small]
            parts = [p for k, p in enumerate(parts) if k not in small]
    # The overall factor: a product's numeric factors, or those of a sum's largest term.
    scale = 1.0
    lead = int(np.argmax([_rms(p) for p in parts]))
    split = _factor_of(terms[lead])
    if split is not None:
        scale, coeff = split
        terms = [_divided(t, coeff) for t in terms]
    rest = sp.Add(*terms)
    if tolerance > 0:
        rest = _snapped(rest, tolerance, changes)
        if not isinstance(rest, sp.Add):  # snapping may leave a new factor (0.5*(2.0001*x) -> x)
            more = _factor_of(rest)
            if more is not None:
                scale *= more[0]
                rest = rest / more[1]
    changes[:0] = plain
    if intercept:
        changes.insert(0, f"intercept {_short(intercept)} split off")
    if scale != 1.0:
        changes.insert(1 if intercept else 0, f"factor {_short(scale)} split off")
    return Canonical(rest, intercept, scale, changes, total)


_KEPT: dict = {}
_KEPT_SIZE = 20_000


def _key(expr: sp.Expr, bounds: dict | None, tolerance: float) -> tuple:
    return (
        expr,
        tuple(sorted((str(k), tuple(v)) for k, v in bounds.items())) if bounds else None,
        tolerance,
    )


def keep(expr: sp.Expr, bounds: dict | None, tolerance: float, found: Canonical) -> None:
    """Keeps a form measured elsewhere (by a worker) as `of` would have kept it here."""
    if len(_KEPT) >= _KEPT_SIZE:
        _KEPT.pop(next(iter(_KEPT)))
    _KEPT[_key(expr, bounds, tolerance)] = found


def of(expr: sp.Expr, bounds: dict | None = None, tolerance: float = SNAP_TOLERANCE) -> Canonical:
    """`canonical_form` at the formula's own points, kept for the last formulas asked about:
    describing a row, judging it and binding it as a member ask for the same form."""
    found = _KEPT.get(_key(expr, bounds, tolerance))
    if found is None:
        found = canonical_form(expr, bounds, tolerance)
        keep(expr, bounds, tolerance, found)
    return found
