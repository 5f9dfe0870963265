"""The table of every bank row's verdict, in bank order: the JSON's "formulas", the CSV and the
account that leads the text and HTML reports."""

import csv
import io
from collections.abc import Sequence
from typing import Any

from source.bank.files import Origin
from source.judge.verdicts import Verdict
from source.report import numbers
from source.run.results import Run

COLUMNS = (
    "id",
    "verdict",
    "law",
    "laws",
    "kind",
    "closeness",
    "structure",
    "formula",
    "canonical",
    "intercept",
    "scale",
    "changes",
    "mapping",
    "constants",
    "reason",
    "file",
    "run",
    "loss",
    "complexity",
)


def table(
    run: Run, skipped: Sequence[dict[str, Any]] = (), order: Sequence[bool] | None = None
) -> list[dict]:
    """One entry per bank row in bank order: the run's rows and the rows skipped as unparsable
    (`skipped`, as the bank reader lists them). `order`, when given, tells for each row of the
    bank whether it is the next run row (True) or the next skipped one (False)."""
    structure = {r: k for k, f in enumerate(run.found) for r in f.rows}
    origins = run.origins or [None] * len(run.verdicts)
    rows = [
        _entry(run.ids[r], run.text(r), v, structure.get(r), origins[r])
        for r, v in enumerate(run.verdicts)
    ]
    gone = [
        {
            **_entry(s["id"], s["formula"], Verdict("skipped"), None, None),
            "reason": s["reason"],
            **{k: s.get(k) for k in ("file", "run", "loss", "complexity")},
        }
        for s in skipped
    ]
    if order is None:
        return rows + gone
    out, a, b = [], iter(rows), iter(gone)
    for is_row in order:
        out.append(next(a) if is_row else next(b))
    return out


def _entry(
    id_: str, formula: str, v: Verdict, structure: int | None, origin: Origin | None
) -> dict:
    c = v.canonical
    return {
        "id": id_,
        "verdict": v.verdict,
        "law": v.law,
        "laws": list(v.laws),
        "kind": v.kind,
        "closeness": v.closeness,
        "structure": structure,
        "formula": formula,
        "canonical": v.canonical_text
        or (str(c.core) if c is not None and c.core is not None else None),
        "intercept": c.intercept if c is not None else None,
        "scale": c.scale if c is not None else None,
        "changes": list(c.changes) if c is not None else [],
        "mapping": v.mapping,
        "constants": v.folded or None,
        "reason": v.reason,
        **Origin.fields(origin),
    }


def csv_text(entries: list[dict]) -> str:
    """The table as CSV, one row per formula; lists joined by "; "."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(COLUMNS)
    for e in entries:
        cells = []
        for key in COLUMNS:
            value = e.get(key)
            if isinstance(value, list):
                value = "; ".join(map(str, value))
            elif isinstance(value, dict):
                value = ", ".join(f"{k}\u2192{w}" for k, w in value.items())
            cells.append("" if value is None else value)
        writer.writerow(cells)
    return out.getvalue()


def counts(entries: list[dict]) -> dict:
    known = [e for e in entries if e["verdict"] == "known"]
    return {
        "formulas": len(entries),
        "known": len(known),
        "known_laws": len({e["law"] for e in known}),
        "new": sum(e["verdict"] == "new" for e in entries),
        "skipped": sum(e["verdict"] == "skipped" for e in entries),
    }


def _n(count: int) -> str:
    return f"{count:,}"


def account_head(c: dict[str, int]) -> str:
    """ "100 formulas: 21 are 9 known laws, 79 are new" from the table's `counts`."""
    head = (
        f"{_n(c['formulas'])} formula{'s' if c['formulas'] != 1 else ''}: {_n(c['known'])} "
        f"{'is' if c['known'] == 1 else 'are'} {_n(c['known_laws'])} known "
        f"law{'s' if c['known_laws'] != 1 else ''}, {_n(c['new'])} "
        f"{'is' if c['new'] == 1 else 'are'} new"
    )
    if c["skipped"]:
        head += f", {_n(c['skipped'])} skipped as unparsable"
    return head


def account_lines(run: Run, entries: list[dict], per_law_limit: int | None = None) -> list[str]:
    """The account by verdict: how many formulas are known laws and how many are new; then each
    law with its formulas and the laws of the same form; then the new formulas by structure."""
    lines = [account_head(counts(entries)), ""]
    by_law: dict = {}
    for e in entries:
        if e["verdict"] == "known":
            by_law.setdefault(e["law"], []).append(e)
    if by_law:
        lines.append("  known laws, by formulas:")
    ranked = sorted(by_law.items(), key=lambda kv: (-len(kv[1]), kv[0]))
    for law, es in ranked[:per_law_limit]:
        kinds: dict = {}
        for e in es:
            kinds[e["kind"]] = kinds.get(e["kind"], 0) + 1
        how = ", ".join(f"{k} {n}" for k, n in sorted(kinds.items(), key=lambda kv: -kv[1]))
        same = max((e["laws"] for e in es), key=len)
        alike = f"; same form as {len(same)} laws: {', '.join(same)}" if len(same) > 1 else ""
        lines.append(f"    {len(es):6,d}  {law}  ({how}{alike})")
    if per_law_limit is not None and len(ranked) > per_law_limit:
        rest = sum(len(es) for _, es in ranked[per_law_limit:])
        lines.append(f"    {rest:6,d}  of {len(ranked) - per_law_limit} other laws")
    new_by: dict = {}
    for e in entries:
        if e["verdict"] == "new":
            new_by[e["structure"]] = new_by.get(e["structure"], 0) + 1
    if new_by:
        lines.append("  new formulas, by structure:")
        for k, n in sorted(new_by.items(), key=lambda kv: (kv[0] is None, -kv[1], kv[0] or 0)):
            where = (
                "in no structure"
                if k is None
                else f"in [{k}] {numbers.formula(run.found[k].shown())}"
            )
            lines.append(f"    {n:6,d}  {where}")
    return lines


def account_report(run: Run, entries: list[dict]) -> str:
    return (
        "\n".join(["", "=== Every formula: known law or new ===", ""] + account_lines(run, entries))
        + "\n"
    )
