"""The tables of the HTML report, row by row: the structures ranked (each with its members), every
formula's verdict, and the formulas left out. A row carries its verdict (`data-verdict`) for the
page's filter, and every sortable cell its key (`data-sort`)."""

import html
import math
from collections.abc import Callable, Sequence
from typing import Any

from source.report.mathml import Typesetter
from source.report.text import TERM_NAMES, is_known, structure_text, verdict_text
from source.run.results import Found, Run

TERMS = list(TERM_NAMES.items())
MEMBERS_LISTED = 100  # members listed under a structure; the table of every formula has them all
ORIGIN_COLUMNS = ("run", "loss", "complexity")


def e(value: object) -> str:
    return html.escape(str(value), quote=True)


def num(value: float | None) -> str:
    """A number as the page shows it: six significant digits, "inf" for infinity."""
    if value is None:
        return ""
    value = float(value)
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.6g}"


def sort_key(value: float | None) -> str:
    """The sort key of a number: every digit, infinity as the largest float."""
    if value is None or math.isnan(float(value)):
        return ""
    value = float(value)
    return repr(value) if math.isfinite(value) else ("1e308" if value > 0 else "-1e308")


class Rows:
    """Each bank row's text and table entry: the entries of the table of every formula are the
    run's rows in order, with the skipped rows among them."""

    def __init__(self, run: Run, entries: Sequence[dict[str, Any]]) -> None:
        self.run = run
        own = [x for x in entries if x["verdict"] != "skipped"]
        self.entries: Sequence[dict[str, Any]] | None = own if len(own) == len(run.ids) else None

    def text(self, r: int) -> str:
        return self.entries[r]["formula"] if self.entries is not None else self.run.text(r)

    def origin(self, r: int, key: str) -> Any:
        if self.entries is not None:
            return self.entries[r].get(key)
        o = self.run.origins[r] if self.run.origins else None
        return getattr(o, key, None)


def origin_columns(entries: Sequence[dict[str, Any]]) -> list[str]:
    """The origin columns that some row fills: run (where the bank has more than one), loss and
    complexity."""
    runs = {x.get("run") for x in entries} - {None}
    return [
        key
        for key in ORIGIN_COLUMNS
        if (len(runs) > 1 if key == "run" else any(x.get(key) is not None for x in entries))
    ]


def _origin_cells(value_of: Callable[[str], Any], columns: Sequence[str]) -> str:
    cells = []
    for key in columns:
        value = value_of(key)
        if key == "run":
            cells.append(f"<td class=run>{e(value or '')}</td>")
        else:  # sorted by the number shown: six digits tell losses and complexities apart
            number = value if isinstance(value, (int, float)) else None
            cells.append(f"<td class=num>{num(number)}</td>")
    return "".join(cells)


def structure_verdict(f: Found) -> tuple[str, str, list[str]]:
    """A structure's verdict as the page leads with it: ("known" or "new", the headline, the
    details under it)."""
    v = f.verdict
    details = []
    if v is None:
        kind = "known" if f.match is not None else "new"
        lead = f"known law: {f.match.law}" if f.match is not None else "new"
    else:
        kind = "known" if is_known(f) else "new"
        text = structure_text(f)
        if kind == "known":
            lead = f"known law: {v.law}"
            head = f"known: {v.law}, "
            details.append(text[len(head) :] if text.startswith(head) else text)
        else:
            lead = "new"
            if text.startswith("new (") and text.endswith(")"):
                details.append(text[5:-1])
        if kind == "known" and len(v.laws) > 1:
            details.append(f"same form as {', '.join(x for x in v.laws if x != v.law)}")
    if f.match is not None:
        details.append(f"its formula matches {f.match.law} ({f.match.kind})")
    return kind, lead, details


def _bindings(b: dict[str, str] | None) -> str:
    return ", ".join(f"{k} = {w}" for k, w in b.items()) if b else "(not an instance)"


def members(
    run: Run,
    k: int,
    f: Found,
    rows: Rows,
    typeset: Typesetter,
    most_typeset: int,
    runs: int,
    listed: int = MEMBERS_LISTED,
) -> str:
    """The members of structure [k]: id, formula, bindings and own verdict, the first `listed`
    of them, the first `most_typeset` typeset; `runs`: the bank's runs."""
    columns = [c for c in ORIGIN_COLUMNS if any(rows.origin(r, c) is not None for r in f.rows)]
    if runs <= 1 and "run" in columns:
        columns.remove("run")
    out = []
    for i, r in enumerate(f.rows[:listed]):
        b = f.binding_texts[i] if i < len(f.binding_texts) else None
        m = f.member_matches[i] if i < len(f.member_matches) else None
        v = run.verdicts[r] if run.verdicts else None
        own = v.text() if v is not None else verdict_text(m)
        kind = v.verdict if v is not None else ("known" if m is not None else "new")
        formula = typeset.cell(lambda: run.exprs[r], rows.text(r), i < most_typeset)
        out.append(
            f"<tr><td class=id>{e(run.ids[r])}</td><td>{formula}</td>"
            f"<td class=c>{e(_bindings(b))}</td><td class={e(kind)}>{e(own)}</td>"
            + _origin_cells(lambda key: rows.origin(r, key), columns)
            + "</tr>"
        )
    if out and len(f.rows) > listed:
        out.append(
            f"<tr class=more><td colspan={4 + len(columns)}>"
            + f"and {len(f.rows) - listed:,} more"
            + "</td></tr>"
        )
    link = (
        f"<a href='#formulas-section' data-structure={k}>every member in the table of every "
        "formula</a>"
    )
    if not out:
        return f"<details><summary>{len(f.rows):,} members</summary>{link}</details>"
    head = "".join(f"<th>{c}</th>" for c in ["id", "formula", "bindings", "its own verdict"])
    head += "".join(f"<th>{c}</th>" for c in columns)
    return (
        f"<details><summary>{len(f.rows):,} members</summary><div class=box>"
        f"<table class=members><thead><tr>{head}</tr></thead><tbody>{''.join(out)}</tbody>"
        f"</table></div>{link}</details>"
    )


def structure_rows(
    run: Run,
    formula_of: Callable[[int], str],
    member_list: Callable[[int], str],
    category: dict[int, str],
    runs: int,
) -> str:
    """One row per structure, in rank order; `formula_of(k)` and `member_list(k)` give the
    formula's and the members' HTML, `category` the detection score's category by candidate,
    `runs` the bank's runs."""
    out = []
    for k, f in enumerate(run.found):
        c = f.candidate
        kind, lead, details = structure_verdict(f)
        under = "".join(f"<div class=sub>{e(d)}</div>" for d in details)
        if getattr(f, "degenerate", False):
            under += (
                "<span class=badge title='most members overflow, are undefined or constant on "
                "their ranges: ranked after every other structure'>degenerate behaviour</span>"
            )
        found_in = getattr(f, "runs", 0)
        in_runs = (
            f"<td class=num data-sort='{found_in}'>in {found_in} of {runs} runs</td>"
            if runs > 1
            else ""
        )
        terms = "".join(
            f"<td class='num term' data-sort='{sort_key(f.terms[name]) if f.terms else ''}'>"
            f"{e(num(f.terms[name])) if f.terms else ''}</td>"
            for name, _ in TERMS
        )
        key = getattr(f, "key", "")
        out.append(
            f"<tr id=s{k} data-verdict={kind}><td class=num data-sort='{k}'><b>[{k}]</b>"
            + (f"<div class=key><code>{e(key)}</code></div>" if key else "")
            + f"</td><td><span class={kind}>{e(lead)}</span>{under}</td>"
            f"<td class=formula data-sort='{e(f.shown())}'>{formula_of(k)}{member_list(k)}</td>"
            f"<td class=num data-sort='{len(f.rows)}'>{len(f.rows):,}</td>{in_runs}"
            f"<td class=num data-sort='{sort_key(c.novelty)}'>{e(num(c.novelty))}</td>{terms}"
            f"<td>{e(category.get(id(c), ''))}</td><td>{e(c.closest_lib or '')}</td></tr>"
        )
    return "".join(out)


VERDICT_WORDS = {"known": "known law", "new": "new", "skipped": "skipped"}


def formula_rows(
    entries: Sequence[dict[str, Any]],
    formula_of: Callable[[int, dict[str, Any]], str],
    columns: Sequence[str],
) -> str:
    """One row per bank row, in bank order; `formula_of(i, entry)` gives the formula's HTML. A
    bank may hold a hundred thousand rows: each row is written lean, keyed for sorting only
    where its text is not its key."""
    out = []
    for i, x in enumerate(entries):
        structure, verdict, closeness = x["structure"], e(x["verdict"]), x["closeness"]
        laws = [w for w in x.get("laws") or [] if w != x["law"]]
        alike = f" <span class=sub>+{len(laws)}</span>" if laws else ""
        where = f" title='{e(x['file'])}'" if x.get("file") not in (None, x.get("run")) else ""
        how = x["kind"] or x["reason"]
        formula = formula_of(i, x)
        typeset = f" data-sort='{e(x['formula'])}'" if formula.startswith("<div") else ""
        out.append(
            f"<tr data-verdict={verdict}><td class=id{where}>{e(x['id'])}</td>"
            f"<td class=formula{typeset}>{formula}</td>"
            f"<td class='{verdict} word'>{VERDICT_WORDS.get(verdict, verdict)}</td>"
            f"<td>{e(x['law'] or '')}{alike}"
            + (f"<div class=sub>{e(how)}</div>" if how else "")
            + "</td>"
            + (
                "<td class=num></td>"
                if closeness is None
                else f"<td class=num data-sort='{sort_key(closeness)}'>{num(closeness)}</td>"
            )
            + (
                "<td class=num></td>"
                if structure is None
                else f"<td class=num data-sort='{structure}'>"
                f"<a class=to-s href='#s{structure}'>[{structure}]</a></td>"
            )
            + f"<td class='canon c'>{e(x['canonical'] or '')}</td>"
            + _origin_cells(lambda key: x.get(key), columns)
            + "</tr>"
        )
    return "".join(out)


def left_out_rows(run: Run, rows: Rows, skipped: Sequence[dict[str, Any]]) -> str:
    out = [
        f"<tr><td class=id>{e(run.ids[r])}</td><td class='formula c'>{e(rows.text(r))}</td>"
        f"<td>{e(reason)}</td></tr>"
        for r, reason in sorted(run.left_out.items())
    ]
    out += [
        f"<tr><td class=id>{e(s['id'])}</td><td class='formula c'>{e(s['formula'])}</td>"
        f"<td>unparsable, skipped: {e(s['reason'])}</td></tr>"
        for s in skipped
    ]
    return "".join(out)
