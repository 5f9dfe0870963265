"""Reading banks and libraries of formulas from files.

Formats, recognised by extension and content:

- CSV with a formula column (``formula``, ``expression`` or ``expr``), an optional ``id`` column
  and optional ``varK_name`` / ``varK_low`` / ``varK_high`` columns (like the bundled Feynman file);
- the hall-of-fame CSV that symbolic-regression tools write (``Complexity``, ``Loss``,
  ``Equation``, optionally ``sympy_format``);
- plain text, one formula per line (``#`` starts a comment);
- JSON: a list of strings, or of ``{"id", "formula", "ranges"}`` objects with ranges given by
  variable name (``{"x": [0.1, 10]}``).

Formulas are read by the safe parser of ``source.parsing``: names are variables unless they are
called and known functions, and nothing in a file is ever run as code.
"""
import csv
import json
from dataclasses import dataclass, field
from pathlib import Path

import sympy as sp

from source.parsing import FormulaError, parse_formula

class BankError(Exception):
    """A bank file that cannot be read; the message names the file, line and id."""


@dataclass
class Entry:
    id: str
    expr: sp.Expr
    bounds: dict = field(default_factory=dict)  # variable name -> (low, high)
    where: str = ""

    def var_ranges(self):
        """Ranges keyed by variable index (position among the symbols sorted by name)."""
        if not self.bounds:
            return None
        names = sorted(str(s) for s in self.expr.free_symbols)
        return {i: tuple(self.bounds[n]) for i, n in enumerate(names) if n in self.bounds}


def _rows_of_csv(path, text):
    reader = csv.DictReader(text.splitlines())
    columns = {c.lower(): c for c in (reader.fieldnames or [])}
    if "equation" in columns:  # a symbolic-regression hall of fame
        for line, row in enumerate(reader, start=2):
            formula = (row.get("sympy_format") or "").strip() or row[columns["equation"]]
            ident = f"complexity={row[columns['complexity']]}" if "complexity" in columns else f"row{line - 1}"
            yield line, ident, formula, {}
        return
    key = next((columns[k] for k in ("formula", "expression", "expr") if k in columns), None)
    if key is None:
        raise BankError(f"{path}: no formula column (expected one named formula, expression, "
                        f"expr or Equation)")
    for line, row in enumerate(reader, start=2):
        bounds = {}
        k = 1
        while f"var{k}_name" in row:
            name = (row[f"var{k}_name"] or "").strip()
            if name:
                bounds[name] = (float(row[f"var{k}_low"]), float(row[f"var{k}_high"]))
            k += 1
        ident = (row.get(columns.get("id", ""), "") or "").strip() or f"row{line - 1}"
        yield line, ident, row[key], bounds


def _rows_of_json(path, text):
    data = json.loads(text)
    if not isinstance(data, list):
        raise BankError(f"{path}: expected a JSON list of formulas")
    for k, item in enumerate(data):
        if isinstance(item, str):
            yield k + 1, f"item{k}", item, {}
        elif isinstance(item, dict) and "formula" in item:
            bounds = {str(n): (float(lo), float(hi)) for n, (lo, hi) in (item.get("ranges") or {}).items()}
            yield k + 1, str(item.get("id", f"item{k}")), str(item["formula"]), bounds
        else:
            raise BankError(f"{path}:{k + 1}: expected a formula string or an object with 'formula'")


def _rows_of_text(path, text):
    for line, raw in enumerate(text.splitlines(), start=1):
        formula = raw.split("#", 1)[0].strip()
        if formula:
            yield line, f"line{line}", formula, {}


def load(path, skip_bad=False, warn=None):
    """The entries of a bank file and how many bad rows were skipped (only with `skip_bad`)."""
    path = Path(path)
    if not path.is_file():
        raise BankError(f"file not found: {path}")
    text = path.read_text(encoding="utf-8")
    suffix = path.suffix.lower()
    if suffix == ".csv":
        rows = _rows_of_csv(path, text)
    elif suffix == ".json" or text.lstrip().startswith("["):
        try:
            rows = list(_rows_of_json(path, text))
        except json.JSONDecodeError as e:
            raise BankError(f"{path}: not valid JSON: {e}") from None
    else:
        rows = _rows_of_text(path, text)
    entries, skipped = [], 0
    for line, ident, formula, bounds in rows:
        try:
            expr = parse_formula(formula)
        except FormulaError as e:
            message = f"{path}:{line} (id {ident}): cannot parse formula {formula!r}: {e}"
            if not skip_bad:
                raise BankError(message) from None
            skipped += 1
            if warn:
                warn(f"warning: skipped {message}")
            continue
        entries.append(Entry(ident, expr, bounds, f"{path}:{line}"))
    return entries, skipped
