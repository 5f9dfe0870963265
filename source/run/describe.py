"""Describing formulas: each seeded by the run's seed and its own text, and described by its
canonical numeric form where the command line clusters engine output."""

import dataclasses
import hashlib
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import sympy as sp

from source.bank.files import Pending, parse_row
from source.bank.parsing import FormulaError
from source.engine import kt
from source.judge import canonical, verdicts
from source.judge.canonical import SNAP_TOLERANCE, Canonical
from source.run import native_rows
from source.run.progress import Progress, quiet
from source.run.runner import InProcess, Runner

Bounds = dict[str, tuple[float, float]]
# What describing a bank row gives: (lhs, expr, descriptor, text), or the row's FormulaError.
Outcome = tuple[str | None, Any, Any, str] | FormulaError


def formula_seed(seed: int, expr: Any, text: str | None = None) -> list[int]:
    """numpy's seed for describing one formula: the run's seed and the formula's own text
    (`text`, str(expr) when not given), so that a formula's figures are the same whatever else
    the bank holds and in whatever order."""
    text = str(expr) if text is None else text
    digest = hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return [seed, int.from_bytes(digest[:4], "little"), int.from_bytes(digest[4:], "little")]


def describe_one(
    expr: Any,
    ranges: dict[int, Any] | None = None,
    seed: int | None = None,
    text: str | None = None,
) -> Any:
    """`describe(expr, var_ranges=ranges)`, seeded for this formula when a seed is given
    (`text`: str(expr), when already printed)."""
    if seed is not None:
        np.random.seed(formula_seed(seed, expr, text))
    # The engine takes None for no ranges, which its stub does not say.
    return kt.describe(expr, var_ranges=ranges)  # type: ignore[arg-type]


def bounds_of(
    exprs: Sequence[Any], ranges: Sequence[dict[int, Any] | None] | None
) -> list[Bounds | None]:
    """Each row's ranges by variable name, from ranges by index (None: none)."""
    if ranges is None:
        return [None] * len(exprs)
    out: list[Bounds | None] = []
    for e, r in zip(exprs, ranges):
        names = [str(s) for s in sorted(e.free_symbols, key=str)] if r else []
        out.append({names[i]: tuple(v) for i, v in r.items() if 0 <= i < len(names)} if r else None)
    return out


def describe_canonical(
    expr: sp.Basic,
    bounds: Bounds | None = None,
    seed: int | None = None,
    text: str | None = None,
    snap: float = SNAP_TOLERANCE,
) -> Any:
    """A row's descriptor as clustering compares it: its canonical numeric form described (an
    engine's variants of one law, each with its own intercept, scale and noise terms, then look
    alike), with the row's own expression as `numeric_expr`, which members and verdicts show.
    `bounds`: the row's ranges by variable name, or None."""
    form = canonical.of(expr, bounds, snap)
    core = form.core
    assert core is not None  # made here from the expression, never a kept state's text
    names = sorted(str(s) for s in core.free_symbols)
    ranges = {i: tuple(bounds[n]) for i, n in enumerate(names) if n in bounds} if bounds else None
    if core == expr:
        return describe_one(expr, ranges or None, seed, text)
    described = describe_one(core, ranges or None, seed, form.text())
    return dataclasses.replace(described, numeric_expr=expr)


# What judging rows as they are read takes: the library and the R^2 from which a formula
# equals a law.
Judging = tuple[dict[str, Any], float]


def _describe_block(
    rows: Sequence[Pending],
    use_ranges: bool,
    seed: int | None,
    snap: float = SNAP_TOLERANCE,
    judging: Judging | None = None,
) -> tuple[list[Outcome], list[tuple[Bounds | None, Canonical] | None]]:
    """Each row parsed and described by its canonical form (`describe_canonical`): (lhs, expr,
    descriptor, text), text being the formula as printed (`Run.text`), or the row's
    FormulaError; and beside each outcome the canonical form it was described by, with its
    bounds, for the caller to keep wherever the block ran. The engine's native pass reads the
    rows it can (their expr None, their descriptor building it when asked; with `judging`,
    holding the row's verdict), the others are parsed and described here."""
    out: list[Outcome] = []
    forms: list[tuple[Bounds | None, Canonical] | None] = []
    judge = verdicts.judge_of(judging[0], snap, judging[1]) if judging is not None else None
    ranges = [row.bounds if use_ranges and row.bounds else None for row in rows]
    with warnings.catch_warnings():
        warnings.simplefilter(
            "ignore"
        )  # numpy's overflow and invalid-value warnings of the evaluation
        native = native_rows.read([row.formula for row in rows], ranges, seed, snap, judge)
        for row, done in zip(rows, native):
            if done is not None:
                out.append(done)
                forms.append(None)
                continue
            try:
                lhs, expr = parse_row(row)
            except FormulaError as e:
                out.append(e)
                forms.append(None)
                continue
            text = str(expr)  # printed once: it seeds the description and is the report's text
            bounds = row.bounds if use_ranges and row.bounds else None
            out.append((lhs, expr, describe_canonical(expr, bounds, seed, text, snap), text))
            forms.append((bounds, canonical.of(expr, bounds, snap)))
    return out, forms


def describe_rows(
    rows: Sequence[Pending],
    use_ranges: bool = True,
    seed: int | None = None,
    runner: Runner | None = None,
    block_size: int = 100,
    progress: Progress = quiet,
    snap: float = SNAP_TOLERANCE,
    judging: Judging | None = None,
) -> list[Outcome]:
    """Parses and describes rows read from bank files (`files.read_rows`) in blocks on the
    runner, the rows travelling with their ids. One outcome per row, in order: (lhs, expr,
    descriptor, text), or the row's FormulaError. With `judging` (library, fit threshold),
    the rows read natively are judged as they are read (`native_rows.verdict_of`)."""
    runner = runner or InProcess()
    n = len(rows)
    blocks = [rows[o : o + block_size] for o in range(0, n, block_size)]
    parts = runner.map(
        _describe_block,
        [(b, use_ranges, seed, snap, judging) for b in blocks],
        lambda done, total: progress("reading and describing", min(done * block_size, n), n),
    )
    outcomes = []
    # The forms judging asks for again: kept here, wherever the blocks were described.
    for part, forms in parts:
        for outcome, form in zip(part, forms):
            outcomes.append(outcome)
            if form is not None and not isinstance(outcome, FormulaError):
                canonical.keep(outcome[1], form[0], snap, form[1])
    return outcomes
