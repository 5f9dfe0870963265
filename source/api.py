"""Detection from Python, as a notebook uses it: `source.detect(bank, library)` reads and judges a
bank the way the command line does and returns a `Result`, with the table of every formula, the
structures, the short report, and DataFrames where pandas is installed.

    import source
    result = source.detect(["x**2*y", "3*x**2*y", "q1*q2/r**2"])
    result.formulas[0]["verdict"], result.structures[0]["formula"]
    formulas, structures = result.to_pandas()
"""

import html
import warnings
from collections.abc import Iterable, Mapping, Sequence
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np
import sympy as sp

from source.bank import files
from source.bank.laws import load_library
from source.bank.parsing import FormulaError, parse_expression, parse_formula
from source.report import formulas as formula_table
from source.report.document import categories
from source.report.summary import summary
from source.report.text import is_known, structure_text
from source.run.detect import detect as run_detection
from source.run.ranking import origins_of
from source.run.results import Run
from source.run.runner import Runner
from source.settings import Settings

Bank = str | PathLike[str] | Sequence[Any] | Mapping[str, Any]

# What a structure's row holds, in order.
STRUCTURE_COLUMNS = (
    "structure",
    "id",
    "formula",
    "verdict",
    "law",
    "members",
    "runs",
    "score",
    "category",
)


class Result:
    """A detection's answer: `formulas` (one dict per bank row, as the JSON's "formulas"),
    `structures` (one dict per structure), `run` (every detail: `source.run.results.Run`)."""

    def __init__(self, run: Run, skipped: list[dict[str, Any]], order: list[bool] | None) -> None:
        self.run = run
        self.skipped = skipped
        self.formulas: list[dict[str, Any]] = formula_table.table(run, skipped, order)
        category = categories(run.result) if run.result is not None else {}
        self.structures: list[dict[str, Any]] = [
            _structure(run, k, category) for k in range(len(run.found))
        ]

    def report(self) -> str:
        """The short report, as the command line prints it first."""
        return summary(self.run, self.formulas, len(self.skipped))

    def __repr__(self) -> str:
        counts = formula_table.counts(self.formulas)
        return (
            f"<keltran Result: {len(self.formulas)} formulas, {counts.get('known', 0)} known, "
            f"{counts.get('new', 0)} new, {len(self.structures)} structures>"
        )

    def to_pandas(self) -> tuple[Any, Any]:
        """(formulas, structures) as pandas DataFrames (pip install 'keltran[pandas]')."""
        try:
            import pandas as pd  # pandas is an optional dependency
        except ImportError:
            raise ImportError("to_pandas needs pandas: pip install 'keltran[pandas]'") from None
        table = pd.DataFrame(self.formulas, columns=list(formula_table.COLUMNS))
        shown = [{k: s[k] for k in STRUCTURE_COLUMNS} for s in self.structures]
        return table, pd.DataFrame(shown, columns=list(STRUCTURE_COLUMNS))

    def _repr_html_(self) -> str:
        return f"<pre style='white-space: pre-wrap'>{html.escape(self.report())}</pre>"


def _structure(run: Run, k: int, category: dict[int, tuple[str, str | None]]) -> dict[str, Any]:
    f = run.found[k]
    known = is_known(f)
    return {
        "structure": k,
        "id": f.key,
        "formula": f.shown(),
        "verdict": "known" if known else "new",
        "law": f.verdict.law if f.verdict is not None and known else None,
        "verdict_text": structure_text(f),
        "members": len(f.rows),
        "runs": f.runs if run.runs else None,
        "degenerate": f.degenerate,
        "ids": [run.ids[r] for r in f.rows],
        "score": float(f.candidate.novelty),
        "category": category[id(f.candidate)][0] if category else None,
    }


def _expression(value: Any, reader: Any) -> Any:
    if isinstance(value, sp.Basic):
        return value
    if isinstance(value, str):
        return reader(value)
    raise TypeError(f"a formula must be text or a sympy expression, got {type(value).__name__}")


def _entries(
    bank: Bank, skip_bad: bool
) -> tuple[list[files.Entry], list[dict[str, Any]], list[bool] | None]:
    """The bank's entries, the rows skipped and the order of both (files: as the command line
    reads them; in memory: formulas by id, (id, formula) pairs or formulas, ids made up)."""
    if isinstance(bank, (str, PathLike)):
        if not _is_file(bank):
            raise ValueError(f"no bank file {str(bank)!r} (give a path, or a list of formulas)")
        bank = [bank]
    if isinstance(bank, Sequence) and bank and all(_is_file(b) for b in bank):
        entries, skipped = files.load_all([str(b) for b in bank], skip_bad)
        return entries, skipped, None
    items: Iterable[tuple[Any, Any]]
    if isinstance(bank, Mapping):
        items = bank.items()
    else:
        items = (
            (v[0], v[1]) if isinstance(v, tuple) and len(v) == 2 else (f"f{k}", v)
            for k, v in enumerate(bank)
        )
    entries = []
    for id_, value in items:
        try:
            entries.append(files.Entry(str(id_), _expression(value, parse_formula)))
        except FormulaError as e:
            raise ValueError(f"formula {id_}: {e}") from None
    return entries, [], None


def _is_file(value: Any) -> bool:
    return isinstance(value, (str, PathLike)) and Path(value).is_file()


def _library(library: Any) -> dict[str, Any]:
    if library is None:
        return load_library()
    if isinstance(library, Mapping):
        return {str(k): _expression(v, parse_expression) for k, v in library.items()}
    paths = [library] if isinstance(library, (str, PathLike)) else list(library)
    entries, _ = files.load_all([str(p) for p in paths])
    return {e.id: e.expr for e in entries}


def detect(
    bank: Bank,
    library: Any = None,
    *,
    skip_bad: bool = False,
    runner: Runner | None = None,
    **settings: Any,
) -> Result:
    """Reads `bank` (bank files, as the command line reads them; or formulas: text or sympy
    expressions, as a list, (id, formula) pairs or a dict by id) and judges it against `library`
    (None: the bundled textbook laws; bank files; or a dict of laws by name) with the settings of
    `source.settings` (`sim_threshold=0.8`, `seed=3`, `large=True`, ...). As on the command line,
    formulas are described by their canonical forms and a run is seeded (seed 0 by default).
    A bank file's unparsable row is an error (`files.BankError`) unless `skip_bad`."""
    entries, skipped, order = _entries(bank, skip_bad)
    if not entries:
        raise ValueError("the bank holds no formulas")
    laws = _library(library)
    chosen = Settings(**{"seed": 0, "canonical_forms": True, "verbose": False, **settings})
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings
        run = run_detection(
            [e.id for e in entries],
            [e.expr for e in entries],
            laws,
            bounds=[(e.bounds or None) if chosen.use_ranges else None for e in entries],
            settings=chosen,
            runner=runner,
            origins=origins_of(entries),
        )
    return Result(run, skipped, order)
