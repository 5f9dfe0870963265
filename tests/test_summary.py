"""The short report: bounded at any bank size, one number format, the verdict's vocabulary, and
the filter's categories only in their own section by the same structure numbers."""

import re
from types import SimpleNamespace

import pytest

from source.api import detect
from source.report import numbers
from source.report.summary import summary_lines
from source.run.results import Found, Run


@pytest.mark.parametrize(
    "text, shown",
    [
        ("1.23456789*x0 + 0.5", "1.23457*x0 + 0.5"),
        ("x12*v3 + 0.000123456789", "x12*v3 + 0.000123457"),
        ("2.5e-12*t", "2.5e-12*t"),
        ("49552543744.000000 + X3", "4.95525e+10 + X3"),
        ("φ1*v0**2", "φ1*v0**2"),
        ("0.100000000000000", "0.1"),
    ],
)
def test_formulas_print_six_significant_digits(text, shown):
    assert numbers.formula(text) == shown


@pytest.mark.parametrize(
    "value, shown",
    [(13.663728193, "13.6637"), (float("inf"), "inf"), (float("nan"), "nan"), (1e-9, "1e-09")],
)
def test_numbers_print_six_significant_digits(value, shown):
    assert numbers.number(value) == shown


def _huge_run(n_structures, n_laws):
    """A run of many structures and many laws, as a very large bank makes."""
    found = []
    for k in range(n_structures):
        f = Found(SimpleNamespace(novelty=float(k)), k, [2 * k, 2 * k + 1])
        f.formula_text, f.key, f.runs = f"v0**{k + 2}*v1", f"s{k:010x}", 1
        f.verdict = SimpleNamespace(verdict="known" if k % 3 == 0 else "new", law=f"law{k % 7}")
        found.append(f)
    result = SimpleNamespace(
        novel=[f.candidate for f in found], repeated=[], discarded=[("bare wildcard", None)]
    )
    n = 2 * n_structures + 500
    run = Run(list(range(n)), [None] * n, [], [], found, result)
    run.left_out = {r: f"reason {r % 9} (detail)" for r in range(2 * n_structures, n)}
    laws = {f"law{k}": SimpleNamespace(numeric_expr=f"x**{k}") for k in range(n_laws)}
    run.library_descriptors = laws
    entries = [
        {"verdict": "known" if r % 2 else "new", "law": f"law{r % n_laws}", "kind": "numeric"}
        | {"run": None, "structure": None}
        for r in range(n)
    ]
    return run, entries


@pytest.mark.parametrize("structures, laws", [(0, 1), (30, 5), (3000, 400)])
def test_the_short_report_stays_short(structures, laws):
    run, entries = _huge_run(structures, laws)
    said = "Since the last run of this state: 3 new structures, 1 grew"
    lines = summary_lines(run, entries, skipped=12, changes=said)
    assert len(lines) < 150 and lines[0] == said
    assert any("unparsable" in line for line in lines)


def test_one_vocabulary_and_one_numbering():
    result = detect(
        ["x**2*y", "3*x**2*y + 0.001", "q1*q2/r**2", "2*q1*q2/r**2", "exp(-t)*a", "5*exp(-t)*b"]
    )
    text = result.report()
    answer, _, section = text.partition("=== Detection score")
    # the filter's words appear only in its own section, which numbers structures as the rest
    assert "novel" not in answer and "repeated" not in answer
    for name in ("novel", "repeated"):
        line = next(li for li in section.splitlines() if li.strip().startswith(name))
        listed = [int(n) for n in re.findall(r"\[(\d+)\]", line)]
        assert listed == [k for k, s in enumerate(result.structures) if s["category"] == name]
    for k, s in enumerate(result.structures):
        if s["verdict"] == "new":
            assert f"  [{k}] {s['formula']}" in answer


def test_a_law_found_names_the_other_laws_of_its_form():
    result = detect(["x**2*y", "3*x**2*y + 0.001"])
    (known,) = {f["law"] for f in result.formulas if f["verdict"] == "known"}
    others = max((f["laws"] for f in result.formulas), key=len)
    line = next(li for li in result.report().splitlines() if li.startswith(f"  {known} = "))
    assert len(others) > 1 and all(law in line for law in others)
