"""Numeric equality of a formula and a known law: equal up to a renaming of the variables and an
affine map (a*law + b) on the formula's own variable ranges.

The formula's values at seeded points in its ranges are compared with the law's at the same
points, for every one-to-one mapping of the formula's variables onto the law's (all of them up
to `MAX_FULL_SEARCH` variables; above, a local search that swaps pairs of variables while the
fit improves). The best affine fit gives R^2; at or above the threshold the formula
is that law. The variable counts must be equal: a formula that drops a variable is not that
law, unless the law's variable is a physical constant (`source.constants`) whose value the
formula carries folded into its coefficients; then the fit must need no other factor than the
constant's (|a - 1| within `CONSTANT_TOLERANCE`).

All mappings of one law are evaluated in one vectorised call, and the fits of all of them in
one native call.
"""

import dataclasses
import itertools
import math
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import sympy as sp

from source.bank.laws import CONSTANTS, LAWS
from source.bank.parsing import parse_formula
from source.engine import kt
from source.judge import canonical
from source.judge.constants import BY_NAME, BY_SYMBOL, Constant

R2_THRESHOLD = 0.999  # R^2 from which a formula equals a law
CONSTANT_TOLERANCE = 0.02  # relative room of the factor a law with a folded constant needs
EVERYDAY_TOLERANCE = 0.005  # ... of everyday size (R, g), with two variables left
MAX_FULL_SEARCH = 6  # variables up to which every mapping is tried (6! = 720)
MIN_VALID = 0.9  # share of points where both must be defined
_MAX_FOLDED = 2  # constants folded into one law at most


@dataclass(frozen=True)
class LawForm:
    """One law as numbers test it: its expression with some constants set to their values, and
    its remaining variables."""

    law: str
    expr: sp.Expr
    symbols: tuple[sp.Symbol, ...]
    folded: tuple[tuple[str, Constant], ...] = ()
    # Forms of other laws equal to this one up to a renaming, each with {our variable: its}:
    # fitted once, for all of them.
    twins: tuple = ()


@dataclass(frozen=True)
class Fit:
    law: str
    r2: float
    scale: float  # a of a*law + b
    intercept: float  # b
    mapping: dict  # formula variable name -> law variable name
    folded: tuple[tuple[str, Constant], ...] = ()

    def folded_text(self) -> str:
        return ", ".join(f"{var} = {c.symbol} ({c.name}, {c.value:.6g})" for var, c in self.folded)


def constants_of(name: str, expr: sp.Expr) -> dict[str, Constant]:
    """The variables of a law that are physical constants: as the bundled library declares them
    for its own laws, else by name (see `source.constants`)."""
    if name in LAWS and parse_formula(LAWS[name]) == expr:
        return {var: BY_SYMBOL[symbol] for var, symbol in CONSTANTS.get(name, {}).items()}
    return {str(s): BY_NAME[str(s)] for s in expr.free_symbols if str(s) in BY_NAME}


def law_forms(library: dict) -> list[LawForm]:
    """Every law of the library as numbers test it, and each with one or two of its constant
    variables folded in."""
    forms = []
    for name, expr in library.items():
        if not isinstance(expr, sp.Expr):
            continue
        symbols = canonical.symbols_of(expr)
        forms.append(LawForm(name, expr, tuple(symbols)))
        known = constants_of(name, expr)
        constants = [s for s in symbols if str(s) in known]
        for k in range(1, min(_MAX_FOLDED, len(constants)) + 1):
            for chosen in itertools.combinations(constants, k):
                free = tuple(s for s in symbols if s not in chosen)
                folded = tuple((str(s), known[str(s)]) for s in chosen)
                # An everyday constant is met by chance too easily with one variable left.
                if not free or (len(free) < 2 and any(c.everyday for _, c in folded)):
                    continue
                fixed = {s: sp.Float(known[str(s)].value) for s in chosen}
                forms.append(LawForm(name, expr.xreplace(fixed), free, folded))
    return _with_twins(forms)


def _with_twins(forms: list[LawForm]) -> list[LawForm]:
    """The forms with those equal to an earlier one up to a renaming folded into it as twins."""
    groups: dict = {}
    for f in forms:
        try:
            key: tuple[int, str | int] = (len(f.symbols), str(kt._canonicalize_expr(f.expr)))
        except (TypeError, ValueError, RecursionError):
            key = (len(f.symbols), id(f))
        groups.setdefault(key, []).append(f)
    out = []
    for group in groups.values():
        while group:
            first, rest, twins = group[0], [], []
            for other in group[1:]:
                found = kt.match_library(first.expr, {other.law: other.expr})
                if (
                    found is not None
                    and found.kind == "identical"
                    and found.mapping
                    and set(found.mapping) == {str(s) for s in first.symbols}
                ):
                    twins.append((other, tuple(found.mapping.items())))
                else:
                    rest.append(other)
            out.append(dataclasses.replace(first, twins=tuple(twins)))
            group = rest
    return out


def _affine(y: np.ndarray, z: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For each row of z: R^2, a and b of the least-squares fit y ~ a*z + b over the points
    where both are defined (R^2 is 0 where too few are, or where z does not vary). Computed by
    the native kernel the native law fits use, every sum in numpy's pairwise order over the row:
    a row's fit is the same whichever rows it is fitted with, and the same as theirs."""
    return kt._affine_fit(
        np.ascontiguousarray(y, dtype=np.float64),
        np.ascontiguousarray(z, dtype=np.float64),
        MIN_VALID,
    )


def _evaluate(form: LawForm, columns: np.ndarray, mappings: np.ndarray) -> np.ndarray | None:
    """The law's values at the points for each mapping (rows): law variable j takes the formula
    variable mappings[row, j]. Computed by the engine's program of the law's expression as
    given (never from text: the library was read by the safe parser), whose order of operations
    is the law's own, not that of a generated function whose argument names a process-wide
    counter decides; the native judge computes the same."""
    shape = (len(mappings), columns.shape[1])
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return canonical.real_values(
                kt._numeric_values(
                    form.expr,
                    list(form.symbols),
                    [columns[mappings[:, j]] for j in range(len(form.symbols))],
                ),
                shape,
            )
    except Exception:  # a law that cannot be evaluated there fits nothing
        return None


def _best_of(
    form: LawForm, y: np.ndarray, columns: np.ndarray, mappings: np.ndarray, threshold: float
) -> tuple[float, float, float, np.ndarray] | None:
    z = _evaluate(form, columns, mappings)
    if z is None:
        return None
    return _best_fit(form, *_affine(y, z), mappings, threshold)


def _best_fit(
    form: LawForm,
    r2: np.ndarray,
    a: np.ndarray,
    b: np.ndarray,
    mappings: np.ndarray,
    threshold: float,
) -> tuple[float, float, float, np.ndarray] | None:
    """The best accepted fit among the mappings' (R^2, a, b, mapping), or None."""
    ok = r2 >= threshold
    if form.folded:
        room = EVERYDAY_TOLERANCE if any(c.everyday for _, c in form.folded) else CONSTANT_TOLERANCE
        ok &= np.abs(a - 1.0) <= room
    if not ok.any():
        return None
    # Mappings equal up to rounding (x*y*z is the same law whichever factor is which) give R^2
    # that differ in their last bits by how the arithmetic ran: the first of them is taken.
    scores = np.where(ok, r2, -1.0)
    top = float(scores.max())
    best = int(np.argmax(scores >= top - 1e-12 * max(1.0, abs(top))))
    return float(r2[best]), float(a[best]), float(b[best]), mappings[best]


def _elasticities(
    values_at: Callable[[np.ndarray], np.ndarray | None], columns: np.ndarray
) -> np.ndarray | None:
    """The median elasticity d log|f| / d log x of a function of the columns, per variable."""
    base = values_at(columns)
    if base is None:
        return None
    out = []
    for i in range(columns.shape[0]):
        moved = columns.copy()
        moved[i] = moved[i] * 1.001
        up = values_at(moved)
        if up is None:
            return None
        with np.errstate(all="ignore"):
            e = np.log(np.abs(up / base)) / np.log(1.001)
        e = e[np.isfinite(e)]
        out.append(float(np.median(e)) if e.size else 0.0)
    return np.array(out)


def _searched(
    form: LawForm,
    y: np.ndarray,
    columns: np.ndarray,
    threshold: float,
    formula_at: Callable[[np.ndarray], np.ndarray | None] | None,
) -> tuple[float, float, float, np.ndarray] | None:
    """Mappings for many variables: start from the one that pairs each formula variable with the
    law variable of the closest elasticity (how strongly each drives the value), then swap the
    pair of variables that improves R^2 most, while one does."""
    n = columns.shape[0]
    symbols = list(form.symbols)

    def law_at(cols: np.ndarray) -> np.ndarray | None:
        z = _evaluate(form, cols, np.arange(n)[None, :])
        return None if z is None else z[0]

    formula = _elasticities(formula_at, columns) if formula_at is not None else None
    law = _elasticities(law_at, columns)
    current = np.arange(n)
    if formula is not None and law is not None:
        free, current = set(range(n)), np.zeros(n, dtype=np.intp)
        for j in np.argsort(-np.abs(law)):  # the strongest law variables choose first
            i = min(free, key=lambda i: abs(formula[i] - law[j]))
            current[j] = i
            free.discard(i)
    z = _evaluate(form, columns, current[None, :])
    if z is None or len(symbols) != n:
        return None
    best_r2 = float(_affine(y, z)[0][0])
    improved = True
    while improved:
        improved = False
        swaps = []
        for i, j in itertools.combinations(range(n), 2):
            m = current.copy()
            m[i], m[j] = m[j], m[i]
            swaps.append(m)
        z = _evaluate(form, columns, np.array(swaps))
        if z is None:
            return None
        r2 = _affine(y, z)[0]
        k = int(np.argmax(r2))
        if r2[k] > best_r2 + 1e-12:
            best_r2, current, improved = float(r2[k]), swaps[k], True
    return _best_of(form, y, columns, current[None, :], threshold)


_PERMUTATIONS: dict[int, np.ndarray] = {}


def _permutations(n: int) -> np.ndarray:
    if n not in _PERMUTATIONS:
        _PERMUTATIONS[n] = np.array(list(itertools.permutations(range(n))), dtype=np.intp).reshape(
            -1, n
        )
    return _PERMUTATIONS[n]


def fits(
    y: np.ndarray | None,
    symbols: list,
    arrays: list,
    forms: list[LawForm],
    threshold: float = R2_THRESHOLD,
    formula_at: Callable[[np.ndarray], np.ndarray | None] | None = None,
) -> list[Fit]:
    """The laws the formula (values `y` at the points `arrays` of its `symbols`) equals
    numerically: for each law its best accepted form, best first. `formula_at(columns)`, the
    formula's values at other points, guides the search of mappings above `MAX_FULL_SEARCH`."""
    n = len(symbols)
    if n == 0 or y is None or np.isfinite(y).sum() < MIN_VALID * y.size:
        return []
    finite = y[np.isfinite(y)]
    if not np.ptp(finite) > 1e-12 * max(np.abs(finite).max(), 1e-300):
        return []  # a constant is no law
    columns = np.stack(arrays)
    mine = [f for f in forms if len(f.symbols) == n]
    if n <= MAX_FULL_SEARCH:
        # Every mapping of every law at once: one fit over all of their values.
        mappings = _permutations(n)
        values = [(f, _evaluate(f, columns, mappings)) for f in mine]
        values = [(f, z) for f, z in values if z is not None]
        if not values:
            return []
        all_r2, all_a, all_b = _affine(y, np.concatenate([z for _, z in values]))
        m = len(mappings)
        bests = [
            (
                f,
                _best_fit(
                    f,
                    all_r2[k * m : (k + 1) * m],
                    all_a[k * m : (k + 1) * m],
                    all_b[k * m : (k + 1) * m],
                    mappings,
                    threshold,
                ),
            )
            for k, (f, _) in enumerate(values)
        ]
    else:
        bests = [(f, _searched(f, y, columns, threshold, formula_at)) for f in mine]
    return collected(bests, [str(s) for s in symbols])


Best = tuple[float, float, float, Any]  # R^2, a, b, and law variable j -> formula variable


def collected(bests: Sequence[tuple[LawForm, Best | None]], names: Sequence[str]) -> list[Fit]:
    """The fits of each form's best accepted mapping (a law's twins fitted with it), the best
    per law, best first; `names` are the formula's variables, in the order mappings index."""
    found: dict[str, Fit] = {}
    for form, best in bests:
        if best is None:
            continue
        r2, a, b, mapping = best
        ours = {names[int(mapping[j])]: str(s) for j, s in enumerate(form.symbols)}
        fitted = [Fit(form.law, r2, a, b, ours, form.folded)]
        for twin, renaming in form.twins:
            to = dict(renaming)
            fitted.append(Fit(twin.law, r2, a, b, {k: to[v] for k, v in ours.items()}, twin.folded))
        for fit in fitted:
            old = found.get(fit.law)
            if old is None or rank(fit) < rank(old):
                found[fit.law] = fit
    return sorted(found.values(), key=rank)


def rank(fit: Fit) -> tuple[float, bool, float, bool, str]:
    """Best first: the closest fit; among fits equally close, one whose folded constants match,
    then the one needing the factor nearest 1 (a positive one first), then by name. Factors
    are compared to nine places: ±2/3 fitted in two ways differ in their last bits, and which
    way the arithmetic ran (threads, alignment) must not decide the law."""
    return (
        -round(fit.r2, 6),
        not fit.folded,
        round(abs(math.log(abs(fit.scale))), 9) if fit.scale else math.inf,
        fit.scale < 0,
        fit.law,
    )
