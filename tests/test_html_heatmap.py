"""The heat map stays readable at 2,000 rows (labels that never overlap, a colour bar with its
scale, rows in the order of the structures' ranks), is drawn on the large path from the
similarity graph with the pairs below the threshold shown as such, and the page says what it
shows or that matplotlib is missing; formulas are typeset safely, numbers shown alike."""

import io
import math
import sys

import numpy as np
import pytest
import sympy as sp
from test_html_page import bank_rows, large_result

import source
from source.report import heatmap
from source.report import html as report
from source.report.html_tables import num
from source.report.mathml import LONGEST, markup
from source.report.text import is_known

LABELS = {"bank": "bank.csv", "bank_size": 0, "library": "textbook", "library_size": 30}
SMALL = ["q1*q2/r**2", "2*a*b/d**2", "3*M*u**2", "M2*u2**2/5", "sin(x)*y*z", "sin(t)*u*w"]
SMALL += ["sin(p)*c*d", "exp(-a1*t1)", "x1 + y1"]


@pytest.fixture(scope="module")
def dense(tmp_path_factory):
    return large_result(tmp_path_factory).run


@pytest.fixture(scope="module")
def graph_run(tmp_path_factory):
    """A run of the large path: the similarity graph's edges and no matrix."""
    folder = tmp_path_factory.mktemp("graph")
    (folder / "bank.csv").write_text(bank_rows(240, seed=1))
    return source.detect(folder / "bank.csv", skip_bad=True, large=True)


@pytest.fixture(scope="module")
def small():
    return source.detect(SMALL).run


def _boxes(texts):
    return sorted((t.get_window_extent() for t in texts if t.get_text()), key=lambda b: b.y0)


@pytest.mark.parametrize("which", ["small", "dense", "graph"])
def test_labels_never_overlap_and_the_colour_bar_gives_the_scale(which, request):
    pytest.importorskip("matplotlib")
    fixture = request.getfixturevalue("graph_run" if which == "graph" else which)
    run = fixture.run if which == "graph" else fixture
    shown = heatmap.picture(run)
    fig = heatmap.figure(run, shown)
    fig.canvas.draw()
    ax, bar = fig.axes
    for texts in (ax.get_yticklabels(), ax.texts):
        boxes = _boxes(texts)
        assert all(a.y1 <= b.y0 + 0.5 for a, b in zip(boxes, boxes[1:])), "labels overlap"
    structures = [t for t in ax.texts if t.get_text()] or ax.get_yticklabels()
    assert 1 <= len([t for t in structures if t.get_text()]) <= heatmap.MOST_LABELS + 1
    assert "similarity" in bar.get_xlabel()
    assert bar.get_xlim() == pytest.approx((shown.low, 1.0))
    assert (shown.low > 0) is (which == "graph")


def test_rows_follow_the_structures_ranks(dense):
    shown = heatmap.picture(dense)
    ranked = [r for f in dense.found for r in f.rows]
    assert list(shown.rows[: len(ranked)]) == ranked
    assert sorted(shown.rows) == list(range(len(dense.ids))), "every row of the 2,000 drawn"
    labels = [b.label for b in shown.blocks if b.known is not None]
    assert [label.split("]")[0] for label in labels] == [f"[{k}" for k in range(len(dense.found))]
    assert [b.known for b in shown.blocks if b.known is not None] == [
        is_known(f) for f in dense.found
    ]


def test_the_large_path_draws_the_graph_and_shows_what_is_below_the_threshold(graph_run):
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt

    run = graph_run.run
    assert run.matrix is None and run.found
    shown = heatmap.picture(run)
    place = {r: i for i, r in enumerate(shown.rows)}
    rows, cols, similarities = run.graph[:3]
    drawn = 0
    for a, b, s in zip(rows, cols, similarities):
        if a in place and b in place:
            assert shown.values[place[a], place[b]] == shown.values[place[b], place[a]] == s
            drawn += 1
    finite = np.isfinite(shown.values).sum() - len(shown.rows)
    assert drawn and finite == 2 * drawn, "a pair not in the graph is drawn as below it"
    assert "similarity graph" in shown.note and str(run.settings["sim_threshold"]) in shown.note
    image = heatmap.png(run)
    assert image[:8] == b"\x89PNG\r\n\x1a\n"
    assert plt.imread(io.BytesIO(image)).shape[:2] == (heatmap.HEIGHT, heatmap.WIDTH)
    text = report.page(run, {}, LABELS, [], graph_run.skipped, graph_run.formulas)
    assert "data:image/png;base64," in text and "pairs below the clustering threshold" in text


@pytest.mark.parametrize("most", [7, 40, 120])
def test_a_capped_picture_takes_structures_in_rank_order(graph_run, most):
    run = graph_run.run
    shown = heatmap.picture(run, most)
    assert len(shown.rows) <= most
    share = most if sum(len(f.rows) for f in run.found) <= most else max(most // 20, 1)
    drawn = [int(b.label[1:].split("]")[0]) for b in shown.blocks]
    assert drawn == sorted(drawn) and drawn
    for b, k in zip(shown.blocks, drawn):
        assert list(shown.rows[b.start : b.start + b.size]) == list(run.found[k].rows[:share])
    if len(drawn) < len(run.found):
        assert "not drawn" in shown.note


def test_without_matplotlib_the_page_says_so(small, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    text = report.page(small, {}, LABELS, [])
    assert "<img" not in text and "matplotlib, which is not installed" in text
    assert "id=structures " in text and "<math" in text
    with pytest.raises(ImportError):
        heatmap.png(small)


x, y = sp.symbols("v0 x")


@pytest.mark.parametrize(
    "expr, text, present, absent",
    [
        (sp.Float(2.42501777149866) * y, "2.42501777149866*x", "<mn>2.42502</mn>", "<mn>2.425017"),
        (x**2, "v0**2", "<msub><mi>v</mi><mn>0</mn></msub>", "<mi>0</mi>"),
        (sp.exp(-y), "exp(-x)", '<mi mathvariant="normal">e</mi>', "\u2147"),
        (y, 'x "<b>"', 'alttext="x &quot;&lt;b&gt;&quot;"', "<b>"),
    ],
)
def test_a_formula_is_typeset_readably(expr, text, present, absent):
    out = markup(expr, text)
    assert out.startswith("<math") and present in out and absent not in out


@pytest.mark.parametrize(
    "expr, text",
    [
        (sp.Symbol("</math><script>alert(1)</script>") * y, "s*x"),
        (sp.Symbol("a<b") + y, "a<b + x"),
        (y, "x" * (LONGEST + 1)),
    ],
)
def test_a_formula_the_page_cannot_typeset_safely_stays_text(expr, text):
    assert markup(expr, text) is None


@pytest.mark.parametrize(
    "value, shown",
    [(1 / 3, "0.333333"), (123456789.0, "1.23457e+08"), (math.inf, "inf"), (-math.inf, "-inf")],
)
def test_numbers_are_shown_with_six_significant_digits(value, shown):
    assert num(value) == shown
