"""The order in which a run shows its structures, and what it does not show as one.

A structure is named by a stable id made from its formula, never from its place, so the same
structure has the same id in every run and every update of a kept state. Structures are ranked by
how widely they recur (in how many runs, by how many formulas), then by their score; a structure
whose members' behaviour is degenerate (overflowing, undefined on the ranges, or constant) ranks
after every other, whatever its score. A formula of one variable with nothing but wildcards
around it (``v0``, ``φ1*v0 + φ2``: the canonical form of every affine model) says nothing about
its members and is no structure at all."""

import hashlib
import math
from collections.abc import Sequence
from typing import Any

import sympy as sp

from source.run.results import Found

# A member's behaviour is degenerate when at least this share of its samples is invalid.
INVALID_SHARE = 0.5
TRIVIAL_REASON = "a single variable: no structure to report"


def structure_key(formula: str) -> str:
    """The structure's id: a short digest of its formula as printed."""
    return "s" + hashlib.sha256(formula.encode("utf-8")).hexdigest()[:10]


def is_trivial(formula: Any) -> bool:
    """Whether a generalised formula is at most one variable, scaled and shifted by wildcards
    or numbers: a bare variable, or no variable at all."""
    try:
        variables = [s for s in formula.free_symbols if not str(s).startswith("\u03c6")]
    except AttributeError:
        return False
    if len(variables) > 1:
        return False
    if not variables:
        return True
    try:
        poly = sp.Poly(formula, variables[0])
    except (sp.PolynomialError, sp.GeneratorsNeeded, ValueError, TypeError):
        return False
    return poly.degree() <= 1


def _degenerate_member(d: Any) -> bool:
    variance = float(d.variance)
    return (
        not math.isfinite(variance)
        or variance == 0.0
        or float(d.frac_invalid) >= INVALID_SHARE
        or d.growth_class == "undefined"
    )


def is_degenerate(descriptors: Sequence[Any]) -> bool:
    """Whether most members' behaviour is degenerate: nothing can be read from it."""
    bad = sum(_degenerate_member(d) for d in descriptors)
    return 2 * bad > len(descriptors)


def _score(found: Found) -> float:
    value = float(found.candidate.novelty)
    return value if not math.isnan(value) else -math.inf


def run_order(texts: Sequence[str]) -> list[int]:
    """The order a bank's rows are run in: by formula text, so that the answer (the clusters,
    which form greedily in row order, their members' order, and so each structure's formula,
    id and score) does not depend on the order of the bank's files or rows."""
    return sorted(range(len(texts)), key=texts.__getitem__)


def origins_of(entries: Sequence[Any]) -> list[Any] | None:
    """Each bank entry's origin, or None where no entry has one (the bundled bank, formulas in
    memory)."""
    origins = [e.origin for e in entries]
    return origins if any(o is not None for o in origins) else None


def rank(found: list[Found], descriptors: Sequence[Any], origins: Sequence[Any] | None) -> None:
    """Gives each structure its id, runs and degeneracy, and sorts the list as reports show it."""
    for f in found:
        f.degenerate = is_degenerate([descriptors[r] for r in f.rows])
        if origins:
            f.runs = len({origins[r].run for r in f.rows if origins[r] is not None})
    found.sort(key=lambda f: (f.degenerate, -f.runs, -len(f.rows), -_score(f), f.shown()))
    seen: dict[str, int] = {}
    for f in found:
        key = structure_key(f.shown())
        seen[key] = seen.get(key, 0) + 1
        # two clusters may generalise to one formula: the later keeps its own id
        f.key = key if seen[key] == 1 else f"{key}-{seen[key]}"
