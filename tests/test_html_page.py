"""The HTML report as a scientist works in it, in a real headless browser: it fits a window 1,280
pixels wide for a small bank and for one of 2,000 rows, filters by verdict together with the
search and counts what it shows, typesets formulas with their text beside them, leads with the
verdict and keeps the structures' numbers everywhere."""

import html
import itertools
import json
import random
import re

import pytest
from test_cli import run
from test_html_report import BROWSER, CATCH, browser

import source
from source.report import html as report
from source.report.html_tables import MEMBERS_LISTED
from source.report.text import is_known

pytestmark = pytest.mark.skipif(BROWSER is None, reason="no headless chromium on this machine")

# The most formulas a page typesets, whatever the bank's size; a structure's formula is shown in
# the ranking and again among the new formulas by structure.
TYPESET = (
    2 * report.STRUCTURES_TYPESET
    + report.MEMBER_STRUCTURES * report.MEMBERS_TYPESET
    + report.ROWS_TYPESET
    + report.LAWS_TYPESET
)
WORD = "run3"  # the search of the large page: one run of the five

# Runs last: measures the page, then works its filters as a person would, and writes it all down.
ACT = """<script>
(function () {
  function rows(t) {
    return Array.prototype.slice.call(document.getElementById(t).tBodies[0].rows);
  }
  function shown(t) { return rows(t).filter(function (r) { return !r.hidden; }); }
  function choose(t, v) {
    var radio = document.querySelector('input[name="' + t + '-verdict"][value="' + v + '"]');
    if (!radio) { return false; }
    radio.checked = true; radio.dispatchEvent(new Event('change')); return true;
  }
  function search(t, w) {
    var input = document.querySelector('input[data-filter="' + t + '"]');
    input.value = w; input.dispatchEvent(new Event('input'));
  }
  var out = {width: {closed: document.documentElement.scrollWidth}, filters: [], choices: []};
  document.querySelectorAll('details').forEach(function (d) { d.open = true; });
  document.querySelectorAll('input[data-terms]').forEach(function (b) {
    b.checked = true; b.dispatchEvent(new Event('change'));
  });
  out.width.open = document.documentElement.scrollWidth;
  document.querySelectorAll('fieldset.verdicts input').forEach(function (radio) {
    out.choices.push([radio.name, radio.value, radio.parentNode.textContent.trim()]);
  });
  ['structures', 'formulas'].forEach(function (t) {
    ['', 'known', 'new', 'skipped'].forEach(function (v) {
      if (!choose(t, v)) { return; }
      ['', '__WORD__'].forEach(function (w) {
        search(t, w);
        out.filters.push({table: t, verdict: v, word: w, ids: shown(t).map(function (r) {
          return t === 'structures' ? r.id : r.cells[0].textContent.trim();
        }), verdicts: shown(t).map(function (r) { return r.getAttribute('data-verdict'); }),
          counter: document.getElementById(t + '-shown').textContent});
      });
    });
    choose(t, ''); search(t, '');
  });
  search('structures', '__FORMULA__');
  out.found = shown('structures').map(function (r) { return r.id; });
  search('structures', '');
  var maths = document.querySelectorAll('math');
  out.math = {count: maths.length, pairs: []};
  out.math.namespace = maths.length ? maths[0].namespaceURI : null;
  maths.forEach(function (m) {
    var text = m.parentNode.nextElementSibling;
    out.math.pairs.push([m.getAttribute('alttext'), text ? text.textContent : null]);
  });
  var fraction = document.querySelector('mfrac');
  if (fraction) {
    out.math.fraction = [fraction.getBoundingClientRect().height,
                         fraction.firstElementChild.getBoundingClientRect().height];
  }
  out.links = rows('formulas').filter(function (r) { return r.querySelector('a.to-s'); })
    .map(function (r) {
      return [r.cells[0].textContent.trim(), r.querySelector('a.to-s').textContent];
    });
  var table = document.getElementById('structures');
  var heads = Array.prototype.map.call(table.tHead.rows[0].cells, function (c) {
    return c.textContent.trim().replace(/\\s+/g, ' ');
  });
  out.heads = heads;
  out.structures = rows('structures').map(function (r) {
    return {id: r.id, number: r.cells[0].querySelector('b').textContent,
            formula: r.cells[heads.indexOf('formula and members')].getAttribute('data-sort'),
            verdict: r.cells[heads.indexOf('verdict')].textContent,
            category: r.cells[heads.indexOf('detection category')].textContent};
  });
  var sections = ['answer', 'structures-section', 'formulas-section', 'heatmap-section'];
  out.order = sections.map(function (id) {
    var el = document.getElementById(id); return el ? el.getBoundingClientRect().top : null;
  });
  out.answer = document.getElementById('answer').nextElementSibling.textContent;
  out.errors = window.__errors;
  var pre = document.createElement('pre');
  pre.id = 'test-result'; pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
})();
</script>"""


def bank_rows(n=2000, seed=0):
    """A bank of `n` rows from five runs: 40 forms of functions of products and quotients, two
    laws with their constants scaled, a formula too wide for its cell, three unparsable rows."""
    rng = random.Random(seed)
    outer = ["sin({b}*X)", "exp(-{b}*X)", "sqrt({b}*X)", "log({b}*X + 1)", "cos({b}*X)"]
    inner = ["x*y", "x/y**2", "x**2*y", "x*y*z", "(x + y)**2", "x/(1 + y)", "x**3", "tanh(y)*x"]
    forms = ["{a}*" + o.replace("X", f"({i})") for o, i in itertools.product(outer, inner)]
    forms += [
        "{a}*m*v**2",
        "{a}*q1*q2/r**2",
        "{a}*cos({b}*w*t)*exp(-{b}*t)*(x + {a}*y**3 - {b}*z/(1 + x**2) + {a}*tanh(z)"
        " - {b}*sqrt(x*y + 1)*log(z + 2) + {a}*atan(x/(y + 3))*sinh(z/7))",
    ]
    rows = ["id,formula,run,loss,complexity"]
    for k in range(n - 3):
        a, b = round(rng.uniform(0.5, 9), 4), round(rng.uniform(0.5, 3), 4)
        formula = forms[k % len(forms)].format(a=a, b=b)
        rows.append(f'f{k},"{formula}",run{k % 5 + 1},{rng.uniform(1e-6, 0.1):.6g},{k % 17 + 3}')
    rows += [f"bad{k},((x + {k},run{k + 1},0.5,3" for k in range(3)]
    return "\n".join(rows) + "\n"


def _browse(path, formula=""):
    text = path.read_text()
    act = ACT.replace("__WORD__", WORD).replace("__FORMULA__", formula.replace("'", "\\'"))
    probe = path.with_name("probe-" + path.name)
    probe.write_text(
        text.replace("<head>", "<head>" + CATCH, 1).replace("</body>", act + "</body>")
    )
    dom = browser(
        "--window-size=1280,1000", "--virtual-time-budget=30000", "--dump-dom", probe.as_uri()
    ).stdout
    found = re.search(r'<pre id="test-result">(.*?)</pre>', dom, re.S)
    assert found, dom[-2000:]
    return json.loads(html.unescape(found.group(1)))


_DETECTED = {}


def large_result(tmp_path_factory):
    """The 2,000-row bank's detection, made once in a test session (it takes seconds)."""
    if not _DETECTED:
        folder = tmp_path_factory.mktemp("bank2000")
        (folder / "bank.csv").write_text(bank_rows())
        _DETECTED["result"] = source.detect(folder / "bank.csv", skip_bad=True)
    return _DETECTED["result"]


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """The 2,000-row bank's result, its page and what the browser makes of it."""
    folder = tmp_path_factory.mktemp("large")
    result = large_result(tmp_path_factory)
    labels = {"bank": "bank.csv", "bank_size": 1997, "library": "textbook", "library_size": 30}
    text = report.page(result.run, {}, labels, [], result.skipped, result.formulas)
    (folder / "report.html").write_text(text)
    seen = _browse(folder / "report.html", result.run.found[0].shown())
    return result, text, seen


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """A nine-row bank's page, written by the command line, and what the browser makes of it."""
    folder = tmp_path_factory.mktemp("small")
    rows = ["Q*q/(4*pi*eps0*d**2)", "a*b/(4*pi*e*s**2)", "3*M*u**2", "M2*u2**2/5", "sin(x)*y*z"]
    rows += ["sin(t)*u*w", "sin(p)*c*d", "exp(-a1*t1)", "x1 + y1"]
    (folder / "bank.txt").write_text("\n".join(rows) + "\n")
    out = run(folder, "detect", "bank.txt", "--html", "report.html", "--quiet")
    assert out.returncode == 0, out.stderr
    text = (folder / "report.html").read_text()
    return text, _browse(folder / "report.html")


@pytest.fixture(params=["small", "large"])
def seen(request, small, large):
    return small[1] if request.param == "small" else large[2]


def test_the_page_fits_the_window_and_loads_without_errors(seen):
    assert seen["errors"] == []
    # with every member list open and the score's terms shown, too: wide parts scroll in place
    assert seen["width"]["closed"] <= 1280 and seen["width"]["open"] <= 1280, seen["width"]


def test_formulas_are_typeset_with_their_text_and_at_most_a_bounded_number(seen):
    math = seen["math"]
    assert 0 < math["count"] <= TYPESET
    assert math["namespace"] == "http://www.w3.org/1998/Math/MathML"
    assert all(alt == text for alt, text in math["pairs"]), "each formula's text beside it"
    drawn, numerator = math["fraction"]
    assert drawn > 1.5 * numerator, "a fraction is drawn as one, not as a line of text"


def test_the_answer_leads_and_the_score_never_stands_for_the_verdict(seen):
    tops = [t for t in seen["order"] if t is not None]
    assert tops == sorted(tops) and len(tops) >= 3
    assert not re.search(r"novel|repeated|discarded", seen["answer"])
    for s in seen["structures"]:
        assert re.match(r"(known law: \S+|new)", s["verdict"]), s["verdict"]
        assert not re.search(r"novel|repeated|discarded", s["verdict"])
        assert re.match(r"(novel|repeated|discarded)", s["category"]), s["category"]


def _expected(result, table, verdict, word):
    """The ids a filter should leave: rows of that verdict whose text holds the word (of the
    large bank, only the run column and a structure's listed members name a run)."""
    run = result.run
    if table == "formulas":
        return [
            x["id"]
            for x in result.formulas
            if (not verdict or x["verdict"] == verdict) and (not word or x.get("run") == word)
        ]
    kinds = {"known": True, "new": False}
    return [
        f"s{k}"
        for k, f in enumerate(run.found)
        if (not verdict or kinds[verdict] == is_known(f))
        and (not word or any(run.origins[r].run == word for r in f.rows[:MEMBERS_LISTED]))
    ]


def test_the_verdict_filter_works_with_the_search_and_counts_what_it_shows(large):
    result, _, seen = large
    tried = {(f["table"], f["verdict"]) for f in seen["filters"]}
    assert tried >= {(t, v) for t in ("structures", "formulas") for v in ("", "known", "new")}
    assert ("formulas", "skipped") in tried
    for f in seen["filters"]:
        expected = _expected(result, f["table"], f["verdict"], f["word"])
        assert f["ids"] == expected, (f["table"], f["verdict"], f["word"])
        total = len(result.formulas if f["table"] == "formulas" else result.run.found)
        assert f["counter"] == f"{len(expected):,} of {total:,} shown"
    # the numbers beside the choices are what each choice shows
    for name, value, label in seen["choices"]:
        table = name.removesuffix("-verdict")
        count = int(re.search(r"\(([\d,]+)\)", label).group(1).replace(",", ""))
        assert count == len(_expected(result, table, value, "")), (name, value)


def test_a_typeset_formula_is_found_by_its_text(large):
    assert large[2]["found"][0] == "s0"


def test_a_structure_has_one_number_everywhere(large):
    result, text, seen = large
    run = result.run
    assert [s["id"] for s in seen["structures"]] == [f"s{k}" for k in range(len(run.found))]
    assert [s["number"] for s in seen["structures"]] == [f"[{k}]" for k in range(len(run.found))]
    assert [s["formula"] for s in seen["structures"]] == [f.shown() for f in run.found]
    members = {f"[{k}]": {run.ids[r] for r in f.rows} for k, f in enumerate(run.found)}
    assert seen["links"] and all(i in members[k] for i, k in seen["links"])
    assert all(f.key in text for f in run.found), "each structure's stable id"


@pytest.mark.parametrize(
    "which, runs",
    [("small", False), ("large", True)],
)
def test_runs_and_the_rows_origins_show_where_the_bank_has_them(which, runs, small, large):
    text, seen = (small[0], small[1]) if which == "small" else (large[1], large[2])
    assert ("runs" in seen["heads"]) is runs
    assert ("in 5 of 5 runs" in text) is runs
    assert ("<th class=num>loss</th>" in text) is runs and ("complexity</th>" in text) is runs


def test_numbers_have_six_significant_digits(large):
    cells = re.findall(r"<td class='?num[^>]*data-sort='([^']*)'>([^<]*)</td>", large[1])
    numbers = [(k, v) for k, v in cells if re.fullmatch(r"-?[\d,.]+(e[+-]\d+)?|-?inf", v)]
    assert len(numbers) > 100
    for key, shown in numbers:
        value = float(key)
        expected = "inf" if value >= 1e308 else "-inf" if value <= -1e308 else f"{value:.6g}"
        assert shown.replace(",", "") == expected, (key, shown)


def test_what_changed_leads_the_page(large):
    result = large[0]
    labels = {"bank": "b", "bank_size": 1997, "library": "l", "library_size": 30}
    text = report.page(
        result.run,
        {},
        labels,
        [],
        result.skipped,
        result.formulas,
        changes={"text": "3 new structures, <b>2</b> grew"},
    )
    at = text.index("3 new structures, &lt;b&gt;2&lt;/b&gt; grew")
    assert at < text.index("id=answer")
