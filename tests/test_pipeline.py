"""Detection pipeline, candidate filter and text reports."""

import math
import warnings

import numpy as np
import pytest
import reference as ref
import sympy as sp

from source.bank.feynman import load_bank
from source.bank.laws import load_library

x, y, z, t = sp.symbols("x y z t")
PHI = sp.symbols("φ1:5")


@pytest.fixture(scope="module")
def feynman():
    bank = load_bank()
    return [f.expr for f in bank], [f.var_ranges() for f in bank]


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.random.seed(0)
        return fn(*args, **kwargs)


def same_candidates(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert (g.formula, g.members, g.growth_class, g.closest_lib) == (
            w.formula,
            w.members,
            w.growth_class,
            w.closest_lib,
        )
        assert g.novelty == w.novelty or math.isclose(g.novelty, w.novelty, rel_tol=1e-12)


# ---- detect_structure --------------------------------------------------------------------
def test_feynman_bank_matches_per_pair_zss_pipeline(m, feynman, capsys):
    exprs, ranges = feynman
    library = load_library()
    got = quiet(m.detect_structure, exprs, library, ranges)
    line = capsys.readouterr().out.splitlines()
    want = quiet(ref.detect_structure, m, exprs, library, ranges)
    assert got, "the bundled bank yields candidates"
    same_candidates(got, want)
    # The summary line holds the strict upper triangle's statistics.
    mat = quiet(
        m.pairwise_matrix,
        quiet(lambda: [m.describe(e, var_ranges=r) for e, r in zip(exprs, ranges)]),
    )
    upper = mat[np.triu_indices(len(mat), 1)]
    assert line == [
        f"similarity \u2014 min={upper.min():.4f}  mean={upper.mean():.4f}  max={upper.max():.4f}"
    ]


@pytest.mark.parametrize(
    "values",
    [
        np.array([0.25, 0.5]),
        # numpy sums in pairs: a plain or an exact sum gives another mean (0.5667, not 0.5264).
        np.array([1e16] + [1.0] * 50 + [-1e16] + [0.3] * 77),
        np.linspace(0.0, 1.0, 1001) ** 3,
    ],
)
def test_similarity_line_holds_numpys_statistics(m, values):
    want = f"similarity \u2014 min={values.min():.4f}  mean={values.mean():.4f}  max={values.max():.4f}"
    assert m._similarity_line(values) == want


def test_members_are_the_bank_expressions_not_canonical_forms(m):
    bank = [x * sp.sin(y), 3 * x * sp.sin(y), z * sp.sin(t) / 2]
    got = quiet(m.detect_structure, bank, {}, verbose=False, sim_threshold=0.5)
    assert got and set(got[0].members) <= set(bank)
    assert all(not str(s).startswith(("v", "__KLTN")) for s in got[0].members[0].free_symbols)


def test_tuple_bank_equals_bare_bank_and_labels_stay_out(m):
    bank = [x**2 + y, 2 * x**2 + y, sp.exp(x) * y, sp.exp(z) * t]
    library = {"sq": x**2, "e": sp.exp(x)}
    bare = quiet(m.detect_structure, bank, library, verbose=False, sim_threshold=0.6)
    pairs = quiet(
        m.detect_structure,
        [(f"id{i}", e) for i, e in enumerate(bank)],
        library,
        verbose=False,
        sim_threshold=0.6,
    )
    same_candidates(pairs, bare)
    assert bare and "id0" not in repr(pairs)


def test_empty_bank_calls_nothing_and_prints_nothing(m, monkeypatch, capsys):
    monkeypatch.setattr(m, "describe", lambda *a, **k: pytest.fail("describe called"))
    assert m.detect_structure([], {"a": x}) == []
    assert capsys.readouterr().out == ""


def test_one_expression_and_quiet_runs_print_nothing(m, capsys):
    assert quiet(m.detect_structure, [x + 1], {"a": x}) == []
    assert quiet(m.detect_structure, [x + 1, x + 2, sp.sin(x)], {"a": x}, verbose=False) is not None
    assert capsys.readouterr().out == ""


def test_empty_library_gives_infinite_score_and_none(m):
    got = quiet(
        m.detect_structure, [x * y + 1, 2 * x * y + 1], {}, verbose=False, novelty_threshold=1e300
    )
    assert [(c.closest_lib, c.novelty) for c in got] == [("none", math.inf)]


class Unprintable(sp.Symbol):
    def __str__(self):
        raise ValueError("no label")


def test_failing_library_distances_skip_entries_but_scores_see_full_library(m, monkeypatch):
    real_describe = m.describe
    monkeypatch.setattr(
        m, "describe", lambda e, **k: real_describe(x if isinstance(e, Unprintable) else e, **k)
    )
    seen = {}
    real_bd = m.behavioral_distance_between_cluster_and_library
    real_cs = m.compositionality_score
    monkeypatch.setattr(
        m,
        "behavioral_distance_between_cluster_and_library",
        lambda c, lib: seen.setdefault("bd", list(lib)) and real_bd(c, lib),
    )
    monkeypatch.setattr(
        m,
        "compositionality_score",
        lambda f, lib: seen.setdefault("cs", list(lib)) and real_cs(f, lib),
    )
    library = {"bad1": Unprintable("a"), "bad2": Unprintable("b")}
    got = quiet(m.detect_structure, [x * y + 1, 2 * x * y + 1], library, verbose=False)
    assert [(c.closest_lib, c.novelty) for c in got] == [("none", math.inf)]
    assert seen["bd"] == ["bad1", "bad2"] and len(seen["cs"]) == 2


@pytest.mark.parametrize("order, closest", [(("a", "b"), "a"), (("b", "a"), "b")])
def test_ties_go_to_first_library_entry(m, order, closest):
    entries = {"a": x * y, "b": z * t}
    library = {k: entries[k] for k in order}
    got = quiet(m.detect_structure, [x * y + 1, 2 * x * y + 1], library, verbose=False)
    assert [c.closest_lib for c in got] == [closest]


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"expression_bank": (x,)}, "expression_bank"),
        ({"library": None}, "library"),
        ({"var_ranges_bank": {}}, "var_ranges_bank"),
        ({"alpha": "high"}, "alpha"),
    ],
)
def test_wrong_argument_types_raise_before_work(m, kwargs, error):
    args = {"expression_bank": [x, y], "library": {}, **kwargs}
    with pytest.raises(TypeError, match=error):
        m.detect_structure(**args)


def test_short_range_bank_raises_index_error(m):
    with pytest.raises(IndexError):
        quiet(m.detect_structure, [x, y + 1], {}, [{0: (1.0, 2.0)}], verbose=False)


# ---- filter_candidates -------------------------------------------------------------------
def cand(m, formula, novelty=7.0, members=2):
    return m.GeneralizedCandidate(
        formula=formula,
        members=[x] * members,
        growth_class="linear",
        novelty=novelty,
        closest_lib="none",
    )


def reasons(result):
    return [r for r, _ in result.discarded]


def test_defaults(m):
    assert m.filter_candidates.__defaults__ == (2, 6.0, 1.0, 2.0, 0.6)


BOUNDARIES = [
    (x * y, {"min_members": 3}, "too few members (not recurring)"),
    (x * y, {"min_members": 2}, None),
    (PHI[0], {}, "bare wildcard"),
    (x, {}, None),
    (PHI[0] * PHI[1] * PHI[2] * x * y, {"max_wildcard_density": 0.5}, None),
    (
        PHI[0] * PHI[1] * PHI[2] * x * y,
        {"max_wildcard_density": 0.49},
        "too generic (wildcard density 0.50)",
    ),
    (y * z, {"composition_threshold": 2.0}, None),  # distance 2 to x + x
    (y * z, {"composition_threshold": 2.5}, "already expressible"),
    (x**2, {"composition_threshold": 0.5}, "already expressible"),  # x * x itself
]


@pytest.mark.parametrize("formula, kwargs, reason", BOUNDARIES)
def test_filter_boundaries(m, formula, kwargs, reason):
    result = m.filter_candidates([cand(m, formula)], {"a": x}, **kwargs)
    if reason is None:
        assert result.novel and not result.discarded
    else:
        assert reasons(result) == [reason]


@pytest.mark.parametrize("formula, kwargs, reason", BOUNDARIES)
def test_pending_candidates_are_those_that_reach_the_distance(m, formula, kwargs, reason):
    early = {k: v for k, v in kwargs.items() if k in ("min_members", "max_wildcard_density")}
    reaches = reason in (None, "already expressible")
    assert m._filter_pending([cand(m, formula), cand(m, x * y, members=3)], **early) == [
        reaches,
        True,
    ]


@pytest.mark.parametrize(
    "formula, distance, reason",
    [
        (
            x * y + sp.sin(x),
            1.99,
            "already expressible",
        ),  # measured, it is far from x + x and x * x
        (x * y + sp.sin(x), 2.0, None),  # the threshold itself is kept
        (x**2, math.inf, None),  # measured, it is x * x
        (x**2, None, "already expressible"),  # None: measured here
        (PHI[0], 0.0, "bare wildcard"),  # an earlier test decides first
    ],
)
def test_given_distances_stand_for_the_measured_ones(m, formula, distance, reason):
    result = m._filter_with_distances([cand(m, formula)], {"a": x}, [distance])
    assert reasons(result) == ([reason] if reason else [])
    if distance is None:
        assert result == m.filter_candidates([cand(m, formula)], {"a": x})


@pytest.mark.parametrize(
    "distances, error", [([], ValueError), ([1.0, 2.0], ValueError), (["x"], TypeError)]
)
def test_given_distances_are_one_number_per_candidate(m, distances, error):
    with pytest.raises(error):
        m._filter_with_distances([cand(m, x * y + sp.sin(x))], {"a": x}, distances)


@pytest.mark.parametrize(
    "novelty, where",
    [
        (6.0, "novel"),
        (math.inf, "novel"),
        (1.0, "repeated"),
        (5.99, "repeated"),
        (0.99, "discarded"),
    ],
)
def test_score_thresholds_are_inclusive(m, novelty, where):
    result = m.filter_candidates([cand(m, x * y + sp.sin(x), novelty)], {})
    assert len(getattr(result, where)) == 1
    if where == "discarded":
        assert reasons(result) == ["novelty too low"]


def test_sort_is_descending_and_stable(m):
    cs = [cand(m, x * y, 7.0), cand(m, x + y, 9.0), cand(m, x - y, 7.0), cand(m, x / y, 2.0)]
    result = m.filter_candidates(cs, {})
    assert result.novel == [cs[1], cs[0], cs[2]] and result.novel[1] is cs[0]
    assert result.repeated == [cs[3]] and result.discarded == []


def test_empty_candidates(m):
    result = m.filter_candidates([], {"a": x})
    assert (result.novel, result.repeated, result.discarded) == ([], [], [])


def test_feynman_filter_matches_zss_reference(m, feynman):
    exprs, ranges = feynman
    library = load_library()
    candidates = quiet(
        m.detect_structure, exprs, library, ranges, verbose=False, sim_threshold=0.75
    )
    small = dict(list(library.items())[:8])
    for threshold in (4.0, 8.0, 12.0):
        got = m.filter_candidates(
            candidates, small, composition_threshold=threshold, novel_threshold=20.0
        )
        want = ref.filter_candidates(
            m, candidates, small, composition_threshold=threshold, novel_threshold=20.0
        )
        assert got == want


def test_composition_distances_equal_zss(m, feynman):
    exprs, _ = feynman
    small = dict(list(load_library().items())[:6])
    lib_exprs = list(small.values())
    for e in exprs[:12]:
        formula = m._canonicalize_expr(e)
        d = ref.min_composition_distance(m, formula, lib_exprs)
        keep = m.filter_candidates([cand(m, formula)], small, composition_threshold=d)
        drop = m.filter_candidates([cand(m, formula)], small, composition_threshold=d + 0.5)
        assert (reasons(keep), reasons(drop)) == ([], ["already expressible"]), str(e)


# ---- reports -----------------------------------------------------------------------------
def test_candidate_report_text(m):
    c = m.GeneralizedCandidate(
        formula=PHI[0] * x + 1,
        members=[y + 1, 2 * y + 1],
        growth_class="linear",
        novelty=math.inf,
        closest_lib="none",
    )
    text = quiet(m.candidate_report, 3, c)
    d = quiet(m.describe, c.formula)
    assert text.split("\n") == [
        "  [3] x*φ1 + 1",
        "       behavior       : linear",
        f"       bounded        : {d.is_bounded}  boundedness={d.boundedness:.2f}",
        f"       periodic       : {d.is_periodic}  monotone={d.is_monotone}",
        f"       variance       : {d.variance:.4g}",
        f"       derivative     : mean={d.derivative_approx:.4g}",
        f"       integral       : mean={d.integral_approx:.4g}",
        f"       stability      : {d.stability_score:.4g}",
        f"       sensitivity    : {d.sensitivity_perturbation:.4g}",
        "       members        : ['y + 1', '2*y + 1']",
        "       novelty        : inf  |  closest: none",
    ]


def test_empty_filter_report_has_eleven_lines(m, capsys):
    lines = m.filter_report_strings(m.FilterResult(novel=[], repeated=[], discarded=[]))
    rule = "\u2500"
    assert lines == [
        "novel    : 0",
        "repeated : 0",
        "discarded: 0",
        "",
        rule * 2 + " novel structures " + rule * 34,
        "  (none)",
        "",
        rule * 2 + " repeated patterns " + rule * 33,
        "  (none)",
        "",
        rule * 2 + " discarded " + rule * 41,
    ]
    assert all(len(lines[i]) == 54 for i in (4, 7, 10))
    m.filter_report(m.FilterResult(novel=[], repeated=[], discarded=[]))
    assert capsys.readouterr().out == "\n".join(lines) + "\n"


def test_filter_report_sections_restart_numbering(m):
    cs = [cand(m, x * y, 9.0), cand(m, x + y, 7.0), cand(m, x - y, 2.0), cand(m, PHI[0], 2.0)]
    result = quiet(m.filter_candidates, cs, {})
    lines = quiet(m.filter_report_strings, result)
    blocks = [line for line in lines if line.startswith("  [")]
    assert [b.split("]")[0] for b in blocks] == ["  [0", "  [1", "  [0", "  [bare wildcard"]
    assert lines[-1] == "  [bare wildcard]  φ1  (members=2)"
    assert lines[:3] == ["novel    : 2", "repeated : 1", "discarded: 1"]


@pytest.fixture
def sorted_result(m):
    cs = [
        cand(m, x * y, 9.0),
        cand(m, x + y, 7.0),
        cand(m, x - y, 2.0),
        cand(m, PHI[0], 2.0),
        cand(m, x / y, 0.5),
    ]
    return quiet(m.filter_candidates, cs, {})


def test_filter_report_text_places_the_given_blocks_and_formulas(m, sorted_result):
    rule = "\u2500"
    text = m._filter_report_text(
        sorted_result, ["  [0] A", "  [1] B", "  [0] C"], "all", ["Φ", None]
    )
    assert text.split("\n") == [
        "novel    : 2",
        "repeated : 1",
        "discarded: 2",
        "",
        rule * 2 + " novel structures " + rule * 34,
        "  [0] A",
        "  [1] B",
        "",
        rule * 2 + " repeated patterns " + rule * 33,
        "  [0] C",
        "",
        rule * 2 + " discarded " + rule * 41,
        "  [bare wildcard]  Φ  (members=2)",
        "  [novelty too low]  x/y  (members=2)",
    ]
    # Without printed formulas, from the candidates' own blocks: filter_report_strings, but for
    # the sensitivity figures, which draw fresh noise at each description.
    blocks = [
        quiet(m.candidate_report, i, c)
        for name in ("novel", "repeated")
        for i, c in enumerate(getattr(sorted_result, name))
    ]
    steady = lambda lines: [line for line in lines if "sensitivity" not in line]
    assert steady(m._filter_report_text(sorted_result, blocks).split("\n")) == steady(
        "\n".join(quiet(m.filter_report_strings, sorted_result)).split("\n")
    )


@pytest.mark.parametrize(
    "category, blocks, text",
    [
        ("repeated", ["  [0] C"], "repeated: 1\n\n  [0] C\n"),
        ("novel", ["  [0] A", "  [1] B"], "novel: 2\n\n  [0] A\n\n  [1] B\n"),
    ],
)
def test_filter_report_text_of_one_category(m, sorted_result, category, blocks, text):
    assert m._filter_report_text(sorted_result, blocks, category) == text
    empty = m.FilterResult(novel=[], repeated=[], discarded=[])
    assert m._filter_report_text(empty, [], category) == f"{category}: 0\n\n  (none)\n"


@pytest.mark.parametrize(
    "blocks, category, formulas",
    [
        (["  [0] A", "  [1] B"], "all", None),  # the repeated block is missing
        (["  [0] A", "  [1] B", "  [0] C"], "all", ["Φ"]),  # two discarded, one formula
        (["  [0] C"], "novel", None),
        ([], "discarded", None),
    ],
)
def test_filter_report_text_refuses_blocks_that_do_not_fit(
    m, sorted_result, blocks, category, formulas
):
    with pytest.raises(ValueError):
        m._filter_report_text(sorted_result, blocks, category, formulas)


def test_report_and_sections(m, capsys):
    m.report([])
    assert capsys.readouterr().out == "  (none)\n\n"
    result = m.FilterResult(novel=[], repeated=[], discarded=[])
    lines = m.behavior_section_strings([], result)
    assert lines[:8] == [
        "",
        "=== Raw candidates ===",
        "",
        "  (none)",
        "",
        "=== After filter ===",
        "",
        "novel    : 0",
    ]
    assert m.composition_report("O(x)", ["x"], "np.sin(x)", 0.5, [1, 2]).split("\n") == [
        "Composition: O(x)",
        "Variables:   ['x']",
        "Numpy expr:  np.sin(x)",
        "Result:      0.5",
        "Vectorized:  [1, 2]",
    ]


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.candidate_report(True, None),
        lambda m: m.candidate_report(1.0, None),
        lambda m: m.report_strings((1,)),
        lambda m: m.report(None),
    ],
)
def test_report_argument_types(m, call):
    with pytest.raises(TypeError):
        call(m)


def test_malformed_discarded_entry_raises_unpacking_error(m):
    result = m.FilterResult(novel=[], repeated=[], discarded=[("a", "b", "c")])
    with pytest.raises(ValueError, match="too many values to unpack"):
        m.filter_report_strings(result)
