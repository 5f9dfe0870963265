"""A detection run as one self-contained HTML page (no network, no script from elsewhere), the
answer first: how many formulas are known laws and which, how many are new; then the structures
in rank order, with their verdict, formula, members, score and its terms; then every formula's
verdict, the formulas left out and why, the similarity heat map and the settings. Formulas are
typeset (MathML) up to a bounded number, so that a bank of any size is written in seconds; each
keeps its text beside it. Tables sort by a column and filter by verdict and by search."""

import base64
from collections.abc import Sequence
from typing import Any

from source.report import formulas, heatmap
from source.report.html_script import SCRIPT, STYLE
from source.report.html_tables import (
    MEMBERS_LISTED,
    TERMS,
    Rows,
    e,
    formula_rows,
    left_out_rows,
    members,
    origin_columns,
    structure_rows,
    structure_verdict,
)
from source.report.mathml import Typesetter
from source.report.text import account_counts
from source.run.results import Run

# How many formulas are typeset at most (about a millisecond each); the others are their text.
STRUCTURES_TYPESET = 150  # the structures' formulas, in rank order
MEMBER_STRUCTURES, MEMBERS_TYPESET = 20, 3  # the first members of the first structures
ROWS_TYPESET = 60  # the first rows of the table of every formula
LAWS_TYPESET = 30  # the known laws found, most formulas first
# Up to this many rows the table of every formula is open as the page loads; a browser takes
# seconds to lay out a larger one, which it does only when asked.
OPEN_ROWS = 2000
NEW_LISTED = 200  # structures listed by their new formulas in the account
# Members listed under the structures in all, the first structures' first; every member is in the
# table of every formula.
MEMBER_ROWS = 20000


def _count(value: int, label: str, kind: str = "") -> str:
    return f"<div class='count {kind}'><b>{value:,}</b>{e(label)}</div>"


def _tools(name: str, choices: Sequence[tuple[str, str, int]], total: int, hint: str) -> str:
    """The verdict filter (`choices`: value, label, count) and the search box of table `name`."""
    radios = "".join(
        f"<label><input type=radio name={name}-verdict value='{value}'"
        f"{' checked' if not value else ''}> {e(label)} <span class=shown>({n:,})</span></label> "
        for value, label, n in [("", "all", total), *choices]
    )
    toggle = (
        f"<label><input type=checkbox data-terms={name}> the score's terms</label>"
        if name == "structures"
        else ""
    )
    return (
        f"<div class=tools><fieldset class=verdicts><legend>verdict</legend>{radios}</fieldset>"
        f"<input type=search placeholder='{e(hint)}' data-filter={name} "
        f"aria-label='search {name}'><span id={name}-shown class=shown>{total:,} of {total:,} "
        f"shown</span>{toggle}</div>"
    )


def _laws(run: Run, entries: Sequence[dict[str, Any]], typeset: Typesetter, runs: int) -> str:
    """The known laws found: each with its formula, its formulas and how they match it, the
    structures known as it and the laws of the same form."""
    by_law: dict[str, list[dict[str, Any]]] = {}
    for x in entries:
        if x["verdict"] == "known":
            by_law.setdefault(x["law"], []).append(x)
    if not by_law:
        return "<h3>Known laws found: none</h3>"
    of_law: dict[str, list[int]] = {}
    for k, f in enumerate(run.found):
        kind, _, _ = structure_verdict(f)
        law = f.verdict.law if f.verdict is not None else getattr(f.match, "law", None)
        if kind == "known" and law is not None:
            of_law.setdefault(str(law), []).append(k)
    out = []
    for law, xs in sorted(by_law.items(), key=lambda kv: (-len(kv[1]), kv[0])):
        d = run.library_descriptors.get(law)
        formula = "" if d is None else typeset.cell(lambda: d.numeric_expr, str(d.numeric_expr))
        kinds: dict[str, int] = {}
        for x in xs:
            kinds[x["kind"]] = kinds.get(x["kind"], 0) + 1
        how = ", ".join(f"{k} {n:,}" for k, n in sorted(kinds.items(), key=lambda kv: -kv[1]))
        found_in = len({x.get("run") for x in xs} - {None})
        alike = sorted({w for x in xs for w in x.get("laws") or []} - {law})
        links = " ".join(f"<a class=to-s href='#s{k}'>[{k}]</a>" for k in of_law.get(law, []))
        out.append(
            f"<tr><td class=formula><b>{e(law)}</b>{formula}</td>"
            f"<td class=num data-sort='{len(xs)}'>{len(xs):,}</td><td>{e(how)}</td>"
            + (
                f"<td class=num data-sort='{found_in}'>in {found_in} of {runs}</td>"
                if runs > 1
                else ""
            )
            + f"<td>{links}</td><td class=laws>{e(', '.join(alike))}</td></tr>"
        )
    head = "<th>law and its formula</th><th class=num>formulas</th><th>how they match</th>"
    head += "<th class=num>runs</th>" if runs > 1 else ""
    head += "<th>structures</th><th>laws of the same form</th>"
    return (
        f"<h3>Known laws found ({len(by_law):,})</h3><div class='scroll tall'>"
        f"<table id=laws class=sortable><thead><tr>{head}</tr></thead>"
        f"<tbody>{''.join(out)}</tbody></table></div>"
    )


def _new(run: Run, entries: Sequence[dict[str, Any]], shown: Sequence[str]) -> str:
    """The new formulas, by structure: the first `NEW_LISTED` structures that hold some, in
    rank order, then the rest in one line, then those in no structure."""
    by: dict[int | None, int] = {}
    for x in entries:
        if x["verdict"] == "new":
            by[x["structure"]] = by.get(x["structure"], 0) + 1
    if not by:
        return "<h3>New formulas: none</h3>"
    nowhere = by.pop(None, 0)
    ranked = sorted((k, n) for k, n in by.items() if k is not None)
    out = []
    for k, n in ranked[:NEW_LISTED]:
        kind, lead, _ = structure_verdict(run.found[k])
        out.append(
            f"<tr><td class=num data-sort='{k}'><a class=to-s href='#s{k}'>[{k}]</a></td>"
            f"<td class=formula data-sort='{e(run.found[k].shown())}'>{shown[k]}"
            f"<span class='{kind}'>{e(lead)}</span></td>"
            f"<td class=num data-sort='{n}'>{n:,}</td></tr>"
        )
    rest = ranked[NEW_LISTED:]
    if rest:
        n = sum(n for _, n in rest)
        out.append(
            f"<tr><td class=num data-sort='1e8'>\u2026</td><td>in the other {len(rest):,} "
            f"structures, [{rest[0][0]}] and after</td>"
            f"<td class=num data-sort='{n}'>{n:,}</td></tr>"
        )
    if nowhere:
        out.append(
            f"<tr><td class=num data-sort='1e9'>\u2014</td><td>in no structure</td>"
            f"<td class=num data-sort='{nowhere}'>{nowhere:,}</td></tr>"
        )
    total = sum(by.values()) + nowhere
    return (
        f"<h3>New formulas ({total:,}), by structure</h3><div class='scroll tall'>"
        "<table id=new-by-structure class=sortable><thead><tr><th class=num>structure</th>"
        "<th>formula and verdict</th><th class=num>new formulas</th></tr></thead>"
        f"<tbody>{''.join(out)}</tbody></table></div>"
    )


def _heatmap(run: Run) -> str:
    if not len(run.ids):
        return ""
    head = "<h2 id=heatmap-section>Similarity heat map</h2>"
    try:
        image, note = heatmap.draw(run)
    except ImportError:
        return (
            f"{head}<p class=note>The heat map is drawn with matplotlib, which is not installed "
            "here (pip install 'keltran[plot]'); everything else on this page is complete "
            "without it.</p>"
        )
    data = base64.b64encode(image).decode("ascii")
    return (
        f"{head}<p class=note>{e(note)} Rows and columns are the same formulas; a square outlines "
        "each structure: green and solid, a known law; red and dashed, new.</p>"
        "<img class=heatmap width=1100 height=900 alt='similarity of the formulas, ordered by "
        f"structure rank' src='data:image/png;base64,{data}'>"
    )


def page(
    run: Run,
    settings: dict[str, Any],
    labels: dict[str, Any],
    rendered: list[str],
    skipped: Sequence[dict[str, Any]] = (),
    entries: list[dict] | None = None,
    *,
    changes: dict[str, Any] | None = None,
) -> str:
    """The report as one HTML document (a str); `entries`: every bank row's verdict
    (`formulas.table`); `changes`: what changed since the kept state (its "text" leads)."""
    entries = formulas.table(run, skipped) if entries is None else entries
    rows = Rows(run, entries)
    runs = run.runs  # counted over every row: once
    counts = account_counts(run)
    tally = formulas.counts(entries)
    structures = Typesetter(STRUCTURES_TYPESET)
    shown = [structures.cell(lambda: f.candidate.formula, f.shown()) for f in run.found]
    member_typeset = Typesetter(MEMBER_STRUCTURES * MEMBERS_TYPESET)
    lists, listed = [], 0
    for k, f in enumerate(run.found):
        most = max(0, min(MEMBERS_LISTED, MEMBER_ROWS - listed))
        typeset_here = MEMBERS_TYPESET * (k < MEMBER_STRUCTURES)
        lists.append(members(run, k, f, rows, member_typeset, typeset_here, runs, most))
        listed += min(most, len(f.rows))
    row_typeset = Typesetter(ROWS_TYPESET)
    own = {id(x): r for r, x in enumerate(rows.entries or [])}

    def row_formula(i: int, x: dict[str, Any]) -> str:
        r = own.get(id(x))
        if r is None:
            return row_typeset.cell(lambda: None, x["formula"], False)
        return row_typeset.cell(lambda: run.exprs[r], x["formula"], row_typeset.left > 0)

    columns = origin_columns(entries)
    table = formula_rows(entries, row_formula, columns)
    category = {id(c): "novel" for c in run.result.novel} if run.result is not None else {}
    if run.result is not None:
        category.update({id(c): "repeated" for c in run.result.repeated})
        category.update({id(c): f"discarded: {why}" for why, c in run.result.discarded})
    known_structures = counts["known_law_structures"]
    lines = formulas.account_lines(run, entries)
    account = e("\n".join(lines))
    laws = _laws(run, entries, Typesetter(LAWS_TYPESET), runs)
    changed = (
        f"<div class=changes role=status><b>{e(changes['text'])}</b></div>"
        if changes and changes.get("text")
        else ""
    )
    left = counts["left_out"] + len(skipped)
    terms_head = "".join(
        f"<th class='num term' title='a term of the detection score'>{e(label)}</th>"
        for _, label in TERMS
    )
    formula_choices = [("known", "known law", tally["known"]), ("new", "new", tally["new"])]
    if tally["skipped"]:
        formula_choices.append(("skipped", "skipped", tally["skipped"]))
    origin_head = "".join(f"<th{'' if c == 'run' else ' class=num'}>{c}</th>" for c in columns)
    new_structures = len(run.found) - known_structures
    structure_choices = [("known", "known law", known_structures), ("new", "new", new_structures)]
    boxes = "".join(
        [
            _count(tally["formulas"], "formulas"),
            _count(tally["known"], "are known laws", "known"),
            _count(tally["known_laws"], "laws found", "known"),
            _count(tally["new"], "are new", "new"),
            _count(tally["skipped"], "skipped as unparsable") if tally["skipped"] else "",
            _count(len(run.found), "structures"),
            _count(known_structures, "known-law structures", "known"),
            _count(new_structures, "new structures", "new"),
            _count(counts["in_structures"], "in a structure"),
            _count(left, "in no structure"),
        ]
    )
    ranked = structure_rows(run, lambda k: shown[k], lambda k: lists[k], category, runs)
    from_runs = f", from {runs} runs" if runs > 1 else ""
    shown_settings = ", ".join(f"{k} = {v}" for k, v in settings.items())
    typeset = (
        f"Typeset: the formulas of the first {STRUCTURES_TYPESET} structures, of the first "
        f"{MEMBERS_TYPESET} members of the first {MEMBER_STRUCTURES}, of the first "
        f"{ROWS_TYPESET} rows of the table of every formula and of the first {LAWS_TYPESET} "
        "known laws; the others are shown as their text. Typeset numbers have six significant "
        "digits; the text beneath each formula keeps every digit."
    )
    return f"""<!DOCTYPE html>
<html lang=en><head><meta charset=utf-8>
<meta name=viewport content="width=device-width, initial-scale=1">
<title>KELTRAN report: {e(labels["bank"])}</title><style>{STYLE}</style></head>
<body>
<h1>KELTRAN: known laws and new structures</h1>
<div class=sub>{e(labels["bank"])} ({labels["bank_size"]:,} formulas{from_runs})
against {e(labels["library"])} ({labels["library_size"]:,} library entries)</div>
<nav><a href="#answer">the answer</a><a href="#structures-section">structures, ranked</a>
<a href="#formulas-section">every formula</a><a href="#left-out-section">left out</a>
<a href="#heatmap-section">heat map</a><a href="#settings">settings</a></nav>
{changed}
<h2 id=answer>The answer: known laws and new formulas</h2>
<p class=headline>{e(lines[0])}</p>
<div class=counts>{boxes}</div>
<div class=panels><div class='panel wide'>{laws}</div>
<div class=panel>{_new(run, entries, shown)}</div></div>
<details><summary>the account as text</summary><pre><code>{account}</code></pre></details>
<h2 id=structures-section>Structures, ranked</h2>
<p class=note>[k] is a structure's rank, and its number everywhere on this page. Structures rank by
how widely they recur (in how many runs, by how many formulas), then by their detection score;
those whose members' behaviour is degenerate come last. The verdict is made by the members' own
verdicts. The detection score, its terms and its category (novel, repeated or discarded) measure
how notable a structure is to the detection; they are not the verdict.</p>
{_tools("structures", structure_choices, len(run.found), "search formulas, ids, laws, members")}
<div class=scroll><table id=structures class=sortable>
<thead><tr><th class=num>#</th><th>verdict</th><th>formula and members</th>
<th class=num>members</th>{"<th class=num>runs</th>" if runs > 1 else ""}
<th class=num>score</th>{terms_head}
<th title='the detection score&#39;s category'>detection category</th>
<th>closest library entry</th></tr></thead>
<tbody>{ranked}</tbody></table></div>
<h2 id=formulas-section>Every formula</h2>
<p class=note>In bank order; [k] is the structure the formula is in. Under the law, how the
formula matches it (identical, scaled, canonical or numeric; closeness is the R² of the fit), or
why the formula was skipped; +n: n other laws of the same form (listed with the known laws found).
</p>
<details id=formulas-details{" open" if len(entries) <= OPEN_ROWS else ""}><summary>the verdict of
each of the {len(entries):,} formulas</summary>
{_tools("formulas", formula_choices, len(entries), "search ids, formulas, laws, [k]")}
<div class="scroll tall"><table id=formulas class=sortable>
<thead><tr><th>id</th><th>formula</th><th>verdict</th><th>law and how</th>
<th class=num>closeness</th><th class=num>structure</th><th>canonical form</th>{origin_head}
</tr></thead>
<tbody>{table}</tbody></table></div></details>
<h2 id=left-out-section>Formulas in no structure</h2>
<details><summary>{left:,} formulas in no structure, and why</summary><div class='scroll tall'>
<table id=left-out class=sortable><thead><tr><th>id</th><th>formula</th><th>reason</th></tr></thead>
<tbody>{left_out_rows(run, rows, skipped)}</tbody></table></div></details>
{_heatmap(run)}
<h2 id=settings>Settings</h2><div class=sub><code>{e(shown_settings)}</code></div>
<p class=note>{typeset}</p>
<script>{SCRIPT}</script>
</body></html>
"""
