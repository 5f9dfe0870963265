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

Formulas are read by the safe parser of ``source.parsing``: names are variables unless they are
called and known functions, and nothing in a file is ever run as code. A formula written as an
equation (``F = m*a``) is its right-hand side; the left names the row when it has no id.
"""

import csv
import io
import json
import math
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import sympy as sp

from source.bank.parsing import FormulaError, parse_equation


class BankError(Exception):
    """A bank file that cannot be read; the message names the file, line and id."""


@dataclass
class Entry:
    id: str
    expr: sp.Expr
    bounds: dict[str, tuple[float, float]] = field(
        default_factory=dict
    )  # variable name -> (low, high)
    where: str = ""

    def var_ranges(self) -> dict[int, tuple[float, ...]] | None:
        """Ranges keyed by variable index (position among the symbols sorted by name)."""
        if not self.bounds:
            return None
        names = sorted(str(s) for s in self.expr.free_symbols)
        return {i: tuple(self.bounds[n]) for i, n in enumerate(names) if n in self.bounds}


@dataclass
class Row:
    line: int
    id: str | None  # None: the reader makes one up (line3, item0, ...) unless the formula names it
    made_up: str  # the id made up for this row
    formula: str
    bounds: dict[str, tuple[float, float]]


def _bound(value: Any, where: str, what: str) -> float:
    """A finite range bound, or BankError."""
    if isinstance(value, bool):
        raise BankError(f"{where}: {what} is not a number: {value!r}")
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        raise BankError(f"{where}: {what} is not a number: {value!r}") from None
    if not math.isfinite(number):
        raise BankError(f"{where}: {what} is not finite: {value!r}")
    return number


def _range(low: Any, high: Any, where: str, var: str) -> tuple[float, float]:
    """A variable's range (low, high): two finite bounds, low at most high, a finite width."""
    pair = (
        _bound(low, where, f"the low end of the range of {var}"),
        _bound(high, where, f"the high end of the range of {var}"),
    )
    if pair[0] > pair[1]:
        raise BankError(
            f"{where}: the range of {var} runs backwards ({pair[0]:g} to {pair[1]:g}): "
            f"give the low end first"
        )
    if not math.isfinite(pair[1] - pair[0]):
        raise BankError(
            f"{where}: the range of {var} is wider than a float can hold ({pair[0]:g} to "
            f"{pair[1]:g})"
        )
    return pair


# A formula is at most parsing.MAX_LENGTH characters; a field may hold that and some room, and
# is refused beyond (csv's own limit, 131,072, would stop the reader itself).
_FIELD_LIMIT = 1 << 24
# Whitespace that surrounds a cell: not the Unicode separators (U+2028, ...) an id may hold.
_BLANKS = " \t\r\n\f\v"


def _rows_of_csv(name: str, text: str, label: str) -> Iterator[Row]:
    csv.field_size_limit(max(csv.field_size_limit(), _FIELD_LIMIT))
    reader = csv.reader(io.StringIO(text))
    try:
        yield from _csv_rows(name, reader, label)
    except csv.Error as e:
        raise BankError(f"{name}:{reader.line_num}: cannot read the row: {e}") from None


def _csv_rows(name: str, reader: Any, label: str) -> Iterator[Row]:
    header = next(reader, None)
    if not header:
        raise BankError(f"{name}: the file is empty")
    header = [h.strip() for h in header]
    columns = {h.lower(): k for k, h in enumerate(header)}
    lowered = [h.lower() for h in header]

    def cell(row: list[str], key: str) -> str:
        k = columns.get(key)
        return row[k].strip(_BLANKS) if k is not None and k < len(row) else ""

    hall_of_fame = "equation" in columns
    key = (
        "equation"
        if hall_of_fame
        else next((k for k in ("formula", "expression", "expr") if k in columns), None)
    )
    if key is None:
        raise BankError(
            f"{name}: no formula column (expected one named formula, expression, expr or Equation)"
        )
    ranges = []
    k = 1
    while f"var{k}_name" in columns:
        ranges.append(k)
        k += 1
    ident: str | None  # the row's id, where it has one
    for row in reader:
        line = reader.line_num
        if not any(c.strip() for c in row):
            continue
        if [c.strip().lower() for c in row] == lowered:
            raise BankError(
                f"{name}:{line}: a repeated header row (were files joined with cat? "
                f"give them one by one: keltran detect a.csv b.csv)"
            )
        if hall_of_fame:
            # Several runs' files repeat complexities: the file's label keeps their ids apart.
            formula = cell(row, "sympy_format") or cell(row, "equation")
            complexity = cell(row, "complexity")
            ident = f"{label}:" + (f"complexity={complexity}" if complexity else f"row{line - 1}")
            yield Row(line, ident, ident, formula, {})
            continue
        ident = cell(row, "id") or None
        where = f"{name}:{line}" + (f" (id {ident})" if ident else "")
        bounds: dict[str, tuple[float, float]] = {}
        for k in ranges:
            var = cell(row, f"var{k}_name")
            if not var:
                continue
            bounds[var] = _range(cell(row, f"var{k}_low"), cell(row, f"var{k}_high"), where, var)
        yield Row(line, ident, f"row{line - 1}", cell(row, key), bounds)


def _rows_of_json(name: str, text: str, label: str) -> Iterator[Row]:
    try:
        data = json.loads(text)
    except ValueError as e:
        raise BankError(f"{name}: not valid JSON: {e}") from None
    except RecursionError:
        raise BankError(f"{name}: the JSON nests too deeply to be a bank") from None
    if not isinstance(data, list):
        raise BankError(f"{name}: expected a JSON list of formulas")
    for k, item in enumerate(data):
        where = f"{name}:{k + 1}"
        if isinstance(item, str):
            yield Row(k + 1, None, f"item{k}", item, {})
            continue
        if not (isinstance(item, dict) and isinstance(item.get("formula"), str)):
            raise BankError(
                f"{where}: expected a formula string or an object with a 'formula' string"
            )
        ident = item.get("id")
        if "id" in item and not isinstance(ident, str):
            raise BankError(
                f"{where}: the id must be a string (leave it out for a made-up one), "
                f"got {json.dumps(ident)[:40]}"
            )
        where += f" (id {ident})" if ident else ""
        ranges = item.get("ranges") or {}
        if not isinstance(ranges, dict):
            raise BankError(f"{where}: 'ranges' must map variable names to [low, high]")
        bounds: dict[str, tuple[float, float]] = {}
        for var, pair in ranges.items():
            if not (isinstance(pair, (list, tuple)) and len(pair) == 2):
                raise BankError(f"{where}: the range of {var} must be [low, high], got {pair!r}")
            bounds[str(var)] = _range(pair[0], pair[1], where, var)
        yield Row(k + 1, ident, f"item{k}", item["formula"], bounds)


def _rows_of_text(name: str, text: str, label: str) -> Iterator[Row]:
    for line, raw in enumerate(text.splitlines(), start=1):
        formula = raw.split("#", 1)[0].strip()
        if formula:
            yield Row(line, None, f"line{line}", formula, {})


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


def _format(name: str, text: str) -> Callable[[str, str, str], Iterator[Row]]:
    suffix = Path(name).suffix.lower()
    if suffix == ".csv":
        return _rows_of_csv
    if suffix == ".json":
        return _rows_of_json
    if suffix == ".txt":
        return _rows_of_text
    start = text.lstrip()
    if start.startswith("["):
        return _rows_of_json
    lines = [
        line for line in start.splitlines() if line.strip() and not line.lstrip().startswith("#")
    ]
    first = lines[0].lower() if lines else ""
    if "," in first and any(k in first for k in ("formula", "expression", "expr", "equation")):
        return _rows_of_csv
    return _rows_of_text


@dataclass
class Pending:
    """A row read from a file, its formula not parsed yet."""

    where: str  # file:line
    id: str | None  # the id the file gives, if any
    made_up: str  # the id made up for it otherwise
    formula: str
    bounds: dict[str, tuple[float, float]]


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
        for row in _format(name, text)(name, text, label):
            made_up = f"{label}:{row.made_up}" if len(paths) > 1 and row.id is None else row.made_up
            pending.append(Pending(f"{name}:{row.line}", row.id, made_up, row.formula, row.bounds))
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
                {"where": row.where, "id": shown, "formula": row.formula, "reason": str(outcome)}
            )
            if warn:
                warn(f"warning: skipped {message}")
            continue
        lhs, expr = outcome
        entries.append(Entry(row.id or lhs or row.made_up, expr, row.bounds, row.where))
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
