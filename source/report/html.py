"""A detection run as one self-contained HTML page (no network): the counts, a sortable and
searchable table of structures with their verdict, score and its terms, members with ids and
bindings, the formulas left out and why, and the similarity heat map."""

import base64
import html
import math
from collections.abc import Sequence
from typing import Any

from source.report import formulas
from source.report.heatmap import png
from source.report.text import TERM_NAMES, account_counts, is_known, structure_text, verdict_text
from source.run.results import Found, Run

TERMS = list(TERM_NAMES.items())

STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 24px; color: #1d2330; background: #fff; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 28px 0 8px; }
.sub { color: #5b6473; margin-bottom: 16px; }
pre.account { white-space: pre-wrap; overflow-wrap: anywhere; }
.counts { display: flex; gap: 12px; flex-wrap: wrap; }
.count { border: 1px solid #d7dce5; border-radius: 8px; padding: 8px 14px; min-width: 110px; }
.count b { display: block; font-size: 22px; }
input[type=search] { width: 360px; padding: 6px 10px; font-size: 14px; margin: 6px 0 10px; }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid #e4e7ee; padding: 6px 8px; text-align: left; vertical-align: top; }
th { background: #f4f6fa; cursor: pointer; user-select: none; white-space: nowrap; }
th[aria-sort=ascending]::after { content: " \\25B2"; } th[aria-sort=descending]::after { content: " \\25BC"; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.known { color: #1b7f3b; font-weight: 600; } .new { color: #c0392b; font-weight: 600; }
code { font-family: ui-monospace, monospace; font-size: 13px; }
details summary { cursor: pointer; color: #33507a; }
table.members td { border: none; padding: 2px 8px; font-size: 13px; }
img.heatmap { max-width: 100%; border: 1px solid #e4e7ee; }
"""

SCRIPT = """
(function () {
  function cellValue(row, column) {
    var cell = row.cells[column];
    var key = cell.getAttribute('data-sort');
    return key !== null ? key : cell.textContent.trim();
  }
  document.querySelectorAll('table.sortable').forEach(function (table) {
    var headers = table.tHead.rows[0].cells;
    Array.prototype.forEach.call(headers, function (th, column) {
      th.setAttribute('role', 'button');
      th.addEventListener('click', function () {
        var ascending = th.getAttribute('aria-sort') !== 'ascending';
        Array.prototype.forEach.call(headers, function (h) { h.removeAttribute('aria-sort'); });
        th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
        var numeric = th.classList.contains('num');
        var rows = Array.prototype.slice.call(table.tBodies[0].rows);
        rows.sort(function (a, b) {
          var x = cellValue(a, column), y = cellValue(b, column);
          var order = numeric ? (parseFloat(x) - parseFloat(y)) : x.localeCompare(y);
          if (isNaN(order)) { order = isNaN(parseFloat(x)) - isNaN(parseFloat(y)); }
          return ascending ? order : -order;
        });
        rows.forEach(function (row) { table.tBodies[0].appendChild(row); });
      });
    });
  });
  document.querySelectorAll('input[data-filter]').forEach(function (input) {
    var table = document.getElementById(input.getAttribute('data-filter'));
    input.addEventListener('input', function () {
      var words = input.value.toLowerCase().split(/\\s+/).filter(Boolean);
      var shown = 0;
      Array.prototype.forEach.call(table.tBodies[0].rows, function (row) {
        var text = row.textContent.toLowerCase();
        var keep = words.every(function (w) { return text.indexOf(w) >= 0; });
        row.hidden = !keep;
        shown += keep ? 1 : 0;
      });
      var counter = document.getElementById(input.getAttribute('data-filter') + '-shown');
      if (counter) { counter.textContent = shown + ' shown'; }
    });
  });
})();
"""


def _e(value: object) -> str:
    return html.escape(str(value), quote=True)


def _score(value: float) -> tuple[str, str]:
    value = float(value)
    if math.isinf(value):
        return "inf", "1e308"
    return f"{value:.3g}", repr(value)


def _members(run: Run, f: Found) -> str:
    rows = []
    for r, m, b in zip(f.rows, f.member_matches, f.binding_texts):
        bindings = (
            ", ".join(f"{k} = {v}" for k, v in b.items())
            if b
            else "(not an instance of the formula)"
        )
        rows.append(
            f"<tr><td><code>{_e(run.ids[r])}</code></td><td><code>{_e(run.text(r))}</code></td>"
            f"<td><code>{_e(bindings)}</code></td>"
            f"<td>{_e(run.verdicts[r].text() if run.verdicts else verdict_text(m))}</td></tr>"
        )
    return (
        f"<details><summary>{len(f.rows)} members</summary><table class=members>"
        "<tr><td><b>id</b></td><td><b>formula</b></td><td><b>bindings</b></td>"
        "<td><b>itself</b></td></tr>" + "".join(rows) + "</table></details>"
    )


def _structure_rows(run: Run) -> str:
    category = {id(c): "novel" for c in run.result.novel}
    category.update({id(c): "repeated" for c in run.result.repeated})
    category.update({id(c): f"discarded: {reason}" for reason, c in run.result.discarded})
    out = []
    for k, f in enumerate(run.found):
        c = f.candidate
        verdict = structure_text(f)
        kind = "known" if is_known(f) else "new"
        matched = (
            f"<div class=sub>formula: {_e(verdict_text(f.match))}</div>"
            if f.match is not None
            else ""
        )
        shown, key = _score(c.novelty)
        terms = "".join(
            f"<td class=num data-sort='{_e(repr(float(f.terms[name])) if f.terms else '')}'>"
            f"{_e(format(f.terms[name], '.3g')) if f.terms else ''}</td>"
            for name, _ in TERMS
        )
        out.append(
            f"<tr><td class=num data-sort='{k}'>{k}</td><td><span "
            f"class={kind}>{_e(verdict)}</span>{matched}</td>"
            f"<td><code>{_e(f.shown())}</code></td><td class=num "
            f"data-sort='{len(f.rows)}'>{_members(run, f)}</td>"
            f"<td class=num data-sort='{_e(key)}'>{_e(shown)}</td>{terms}"
            f"<td>{_e(category[id(c)])}</td><td>{_e(c.closest_lib)}</td></tr>"
        )
    return "".join(out)


def _left_out_rows(run: Run, skipped: Sequence[dict[str, Any]]) -> str:
    rows = [
        f"<tr><td><code>{_e(run.ids[r])}</code></td><td><code>{_e(run.text(r))}</code></td>"
        f"<td>{_e(reason)}</td></tr>"
        for r, reason in sorted(run.left_out.items())
    ]
    rows += [
        f"<tr><td><code>{_e(s['id'])}</code></td><td><code>{_e(s['formula'])}</code></td>"
        f"<td>unparsable, skipped: {_e(s['reason'])}</td></tr>"
        for s in skipped
    ]
    return "".join(rows)


def _formula_rows(entries: list[dict]) -> str:
    out = []
    for e in entries:
        closeness = "" if e["closeness"] is None else f"{e['closeness']:.6g}"
        structure = "" if e["structure"] is None else str(e["structure"])
        out.append(
            f"<tr><td><code>{_e(e['id'])}</code></td><td><code>{_e(e['formula'])}</code></td>"
            f"<td class={_e(e['verdict'])}>{_e(e['verdict'])}</td><td>{_e(e['law'] or '')}</td>"
            f"<td>{_e(e['kind'] or e['reason'] or '')}</td><td class=num "
            f"data-sort='{_e(closeness)}'>{_e(closeness)}</td>"
            f"<td class=num data-sort='{_e(structure)}'>{_e(structure)}</td>"
            f"<td><code>{_e(e['canonical'] or '')}</code></td></tr>"
        )
    return "".join(out)


def page(
    run: Run,
    settings: dict[str, Any],
    labels: dict[str, Any],
    rendered: list[str],
    skipped: Sequence[dict[str, Any]] = (),
    entries: list[dict] | None = None,
) -> str:
    """The report as one HTML document (a str); `entries`: every bank row's verdict
    (`formulas.table`)."""
    entries = formulas.table(run, skipped) if entries is None else entries
    account = "\n".join(formulas.account_lines(run, entries))
    counts = account_counts(run)
    boxes = [
        ("formulas", counts["bank"] + len(skipped)),
        ("known laws", counts["known_formulas"]),
        ("new", counts["new_formulas"]),
        ("in a structure", counts["in_structures"]),
        ("left out", counts["left_out"] + len(skipped)),
        ("structures", len(run.found)),
        ("known-law structures", counts["known_law_structures"]),
        ("new structures", counts["new_structures"]),
    ]
    heatmap = ""
    if run.matrix is not None and len(run.ids):
        data = base64.b64encode(png(run)).decode("ascii")
        heatmap = (
            f"<h2>Similarity</h2><img class=heatmap alt='similarity matrix ordered by structure' "
            f"src='data:image/png;base64,{data}'>"
        )
    terms_head = "".join(f"<th class=num title='score term'>{_e(label)}</th>" for _, label in TERMS)
    shown_settings = ", ".join(f"{k} = {v}" for k, v in settings.items())
    return f"""<!DOCTYPE html>
<html lang=en><head><meta charset=utf-8><meta name=viewport content="width=device-width, initial-scale=1">
<title>KELTRAN report: {_e(labels["bank"])}</title><style>{STYLE}</style></head>
<body>
<h1>KELTRAN: known laws and new structures</h1>
<div class=sub>{_e(labels["bank"])} ({labels["bank_size"]} formulas) against {_e(labels["library"])}
({labels["library_size"]} library entries)</div>
<div class=counts>{"".join(f"<div class=count><b>{v}</b>{_e(k)}</div>" for k, v in boxes)}</div>
<h2>Every formula: known law or new</h2>
<pre class=account>{_e(account)}</pre>
<details><summary>every formula's verdict</summary>
<input type=search placeholder="search ids, formulas, laws, verdicts" data-filter=formulas
 aria-label="search formulas"> <span id=formulas-shown>{len(entries)} shown</span>
<table id=formulas class=sortable>
<thead><tr><th>id</th><th>formula</th><th>verdict</th><th>law</th><th>how</th><th class=num>closeness</th>
<th class=num>structure</th><th>canonical form</th></tr></thead>
<tbody>{_formula_rows(entries)}</tbody></table></details>
<h2>Structures</h2>
<input type=search placeholder="search formulas, ids, laws, verdicts" data-filter=structures
 aria-label="search structures"> <span id=structures-shown>{len(run.found)} shown</span>
<table id=structures class=sortable>
<thead><tr><th class=num>#</th><th>verdict</th><th>formula</th><th class=num>members</th>
<th class=num>score</th>{terms_head}<th>detection category</th><th>closest entry</th></tr></thead>
<tbody>{_structure_rows(run)}</tbody></table>
<h2>Formulas left out</h2>
<details><summary>{counts["left_out"] + len(skipped)} formulas in no structure, and why</summary>
<table id=left-out class=sortable><thead><tr><th>id</th><th>formula</th><th>reason</th></tr></thead>
<tbody>{_left_out_rows(run, skipped)}</tbody></table></details>
{heatmap}
<h2>Settings</h2><div class=sub><code>{_e(shown_settings)}</code></div>
<script>{SCRIPT}</script>
</body></html>
"""
