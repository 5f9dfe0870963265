"""The rows of a bank file by its format: CSV (with ranges, or a hall-of-fame file), JSON or
plain text; each row's formula unparsed, its id, ranges and origin (run, loss, complexity)."""

import csv
import io
import json
import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any


class BankError(Exception):
    """A bank file that cannot be read; the message names the file, line and id."""


@dataclass(frozen=True)
class Origin:
    """Where a row comes from: its file (by label), the run that wrote it (the file, or the
    file's ``run`` column) and the fit the engine reported for it, where the file gives one."""

    file: str
    run: str
    loss: float | None = None
    complexity: float | None = None

    @staticmethod
    def fields(origin: "Origin | None") -> dict[str, Any]:
        """The origin as the reports' columns: file, run, loss, complexity (None where unknown)."""
        return {
            "file": origin.file if origin is not None else None,
            "run": origin.run if origin is not None else None,
            "loss": origin.loss if origin is not None else None,
            "complexity": origin.complexity if origin is not None else None,
        }


@dataclass
class Row:
    line: int
    id: str | None  # None: the reader makes one up (line3, item0, ...) unless the formula names it
    made_up: str  # the id made up for this row
    formula: str
    bounds: dict[str, tuple[float, float]]
    run: str | None = None  # the run the file names for the row, if any
    loss: float | None = None
    complexity: float | None = None


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


def _fit_number(text: str) -> float | None:
    """A loss or complexity cell: a finite number, else None (a blank, "nan", a word)."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


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
        fit = (
            cell(row, "run") or None,
            _fit_number(cell(row, "loss")),
            _fit_number(cell(row, "complexity")),
        )
        if hall_of_fame:
            # Several runs' files repeat complexities: the file's label keeps their ids apart.
            formula = cell(row, "sympy_format") or cell(row, "equation")
            complexity = cell(row, "complexity")
            ident = f"{label}:" + (f"complexity={complexity}" if complexity else f"row{line - 1}")
            yield Row(line, ident, ident, formula, {}, *fit)
            continue
        ident = cell(row, "id") or None
        where = f"{name}:{line}" + (f" (id {ident})" if ident else "")
        bounds: dict[str, tuple[float, float]] = {}
        for k in ranges:
            var = cell(row, f"var{k}_name")
            if not var:
                continue
            bounds[var] = _range(cell(row, f"var{k}_low"), cell(row, f"var{k}_high"), where, var)
        yield Row(line, ident, f"row{line - 1}", cell(row, key), bounds, *fit)


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
        run = item.get("run")
        yield Row(
            k + 1,
            ident,
            f"item{k}",
            item["formula"],
            bounds,
            str(run) if isinstance(run, (str, int)) and not isinstance(run, bool) else None,
            *(_fit_number(str(item.get(key))) for key in ("loss", "complexity")),
        )


def _rows_of_text(name: str, text: str, label: str) -> Iterator[Row]:
    for line, raw in enumerate(text.splitlines(), start=1):
        formula = raw.split("#", 1)[0].strip()
        if formula:
            yield Row(line, None, f"line{line}", formula, {})


def rows_reader(name: str, text: str) -> Callable[[str, str, str], Iterator[Row]]:
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
