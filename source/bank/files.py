"""Reading banks and libraries of formulas from files (or standard input, named ``-``).

Formats, recognised by extension and, for standard input or other names, by content:

- CSV with a formula column (``formula``, ``expression`` or ``expr``), an optional ``id`` column
  and optional ``varK_name`` / ``varK_low`` / ``varK_high`` columns (like the bundled Feynman file);
- the hall-of-fame CSV that symbolic-regression tools write (``Complexity``, ``Loss``,
  ``Equation``, optionally ``sympy_format``); its ids read ``file.csv:complexity=3``, with as
  much of the path as tells apart files of one name (``run2/hall_of_fame.csv:complexity=3``);
- plain text, one formula per line (``#`` starts a comment);
- JSON: a list of strings, or of ``{"id", "formula", "ranges"}`` objects with ranges given by
  variable name (``{"x": [0.1, 10]}``).

Every row keeps its `Origin`: its file, its run (a ``run`` column or key, else the file: each
hall-of-fame file is one run of an engine) and the ``loss`` and ``complexity`` a file gives.

Formulas are read by the safe parser of ``source.parsing``: names are variables unless they are
called and known functions, and nothing in a file is ever run as code. A formula written as an
equation (``F = m*a``) is its right-hand side; the left names the row when it has no id.
"""

import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import sympy as sp

from source.bank.parsing import FormulaError, parse_equation
from source.bank.rows import BankError, Origin, rows_reader

__all__ = ["BankError", "Entry", "Origin", "Pending"]


@dataclass
class Entry:
    id: str
    expr: sp.Expr
    bounds: dict[str, tuple[float, float]] = field(
        default_factory=dict
    )  # variable name -> (low, high)
    where: str = ""
    origin: Origin | None = None

    def var_ranges(self) -> dict[int, tuple[float, ...]] | None:
        """Ranges keyed by variable index (position among the symbols sorted by name)."""
        if not self.bounds:
            return None
        names = sorted(str(s) for s in self.expr.free_symbols)
        return {i: tuple(self.bounds[n]) for i, n in enumerate(names) if n in self.bounds}


def _read(path: str | Path) -> tuple[str, str]:
    """(name, text) of a file, or of standard input for "-"."""
    if str(path) == "-":
        data, name = sys.stdin.buffer.read(), "<stdin>"
    else:
        path = Path(path)
        if not path.is_file():
            raise BankError(f"file not found: {path}")
        try:
            data = path.read_bytes()
        except OSError as e:
            raise BankError(f"{path}: cannot read: {e.strerror}") from None
        name = str(path)
    try:
        return name, data.decode("utf-8-sig")  # a byte-order mark is no part of the first column
    except UnicodeDecodeError as e:
        raise BankError(
            f"{name}: not UTF-8 text (byte 0x{data[e.start]:02x} at offset {e.start}); "
            f"save it as UTF-8"
        ) from None


@dataclass
class Pending:
    """A row read from a file, its formula not parsed yet."""

    where: str  # file:line
    id: str | None  # the id the file gives, if any
    made_up: str  # the id made up for it otherwise
    formula: str
    bounds: dict[str, tuple[float, float]]
    origin: Origin | None = None


def _labels(paths: Sequence[str | Path]) -> list[str]:
    """What names each file among the others: its name, or as much of its path as tells it
    apart (run1/hall_of_fame.csv and run2/hall_of_fame.csv, the hall-of-fame files of two
    runs)."""
    parts = [("<stdin>",) if str(p) == "-" else Path(p).parts or (str(p),) for p in paths]
    out = []
    for own in parts:
        for k in range(1, len(own) + 1):
            tail = own[-k:]
            if sum(1 for other in parts if other[-k:] == tail) == sum(1 for o in parts if o == own):
                break
        out.append("/".join(tail))
    return out


def read_rows(paths: Sequence[str | Path]) -> list[Pending]:
    """Every row of the files, in order, unparsed. A file is named by its label (`_labels`):
    a hall-of-fame row's id starts with it, and with several files so do the ids made up."""
    pending = []
    labels = _labels(paths)
    for path, label in zip(paths, labels):
        name, text = _read(path)
        for row in rows_reader(name, text)(name, text, label):
            made_up = f"{label}:{row.made_up}" if len(paths) > 1 and row.id is None else row.made_up
            origin = Origin(label, row.run or label, row.loss, row.complexity)
            pending.append(
                Pending(f"{name}:{row.line}", row.id, made_up, row.formula, row.bounds, origin)
            )
    return pending


def parse_row(row: Pending) -> tuple[str | None, sp.Expr]:
    """(left-hand side or None, expression) of a row; FormulaError when refused."""
    return parse_equation(row.formula)


def _cut(text: str, most: int = 80) -> str:
    """A text for one error line: a long formula or id shown by its ends and its length."""
    if len(text) <= most:
        return text
    return f"{text[: most // 2]}\u2026{text[-most // 4 :]} ({len(text):,} characters)"


def settle(
    rows: Sequence[Pending],
    parsed: Sequence[tuple[str | None, sp.Expr] | Exception],
    skip_bad: bool = False,
    warn: Callable[[str], object] | None = None,
    unique_ids: bool = False,
) -> tuple[list[Entry], list[dict[str, Any]]]:
    """The entries of rows whose formulas were parsed (`parsed[i]` is (lhs, expr), or the
    FormulaError of row i) and the rows skipped; ids resolved: the file's, else an equation's
    left-hand side, else the made-up one. A bad row is an error unless `skip_bad`; an id used
    twice is an error naming both places unless `unique_ids`, which numbers later ones (id#2)."""
    entries, skipped = [], []
    for row, outcome in zip(rows, parsed):
        shown = row.id or row.made_up
        if isinstance(outcome, Exception):
            message = (
                f"{row.where} (id {_cut(shown)}): cannot parse formula "
                f"{_cut(row.formula)!r}: {outcome}"
            )
            if not skip_bad:
                raise BankError(message)
            skipped.append(
                {
                    "where": row.where,
                    "id": shown,
                    "formula": row.formula,
                    "reason": str(outcome),
                    **Origin.fields(row.origin),
                }
            )
            if warn:
                warn(f"warning: skipped {message}")
            continue
        lhs, expr = outcome
        entries.append(Entry(row.id or lhs or row.made_up, expr, row.bounds, row.where, row.origin))
    _unique(entries, warn, unique_ids)
    return entries, skipped


def _unique(entries: list[Entry], warn: Callable[[str], object] | None, unique_ids: bool) -> None:
    first: dict[str, Entry] = {}
    count: dict[str, int] = {}
    for e in entries:
        if e.id not in first:
            first[e.id] = e
            continue
        if not unique_ids:
            raise BankError(
                f"{e.where}: the id {e.id!r} is used again (first at {first[e.id].where}); "
                f"ids must be unique: rename one, or pass --unique-ids"
            )
        count[e.id] = count.get(e.id, 1) + 1
        while f"{e.id}#{count[e.id]}" in first:
            count[e.id] += 1
        new = f"{e.id}#{count[e.id]}"
        if warn:
            warn(
                f"note: {e.where}: the id {e.id!r} is used again (first at {first[e.id].where}); "
                f"this row is {new!r}"
            )
        e.id = new
        first[new] = e


def _parsed(row: Pending) -> tuple[str | None, sp.Expr] | FormulaError:
    try:
        return parse_row(row)
    except FormulaError as e:
        return e


def load_all(
    paths: Sequence[str | Path],
    skip_bad: bool = False,
    warn: Callable[[str], object] | None = None,
    unique_ids: bool = False,
    progress: Callable[[int, int], object] | None = None,
) -> tuple[list[Entry], list[dict[str, Any]]]:
    """The entries of several files in order, and the bad rows skipped (see `settle`)."""
    rows = read_rows(paths)
    parsed = []
    for k, row in enumerate(rows):
        parsed.append(_parsed(row))
        if progress:
            progress(k + 1, len(rows))
    return settle(rows, parsed, skip_bad, warn, unique_ids)


def load(
    path: str | Path, skip_bad: bool = False, warn: Callable[[str], object] | None = None
) -> tuple[list[Entry], list[dict[str, Any]]]:
    """The entries of one file and the rows skipped (see `settle`)."""
    return load_all([path], skip_bad, warn)
