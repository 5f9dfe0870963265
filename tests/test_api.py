"""Detection from Python: `detect` gives the command line's verdicts on the same bank, takes a bank
as files or as formulas in memory, and hands its tables to pandas and to a notebook."""

import html
import json

import pytest
import sympy as sp

from source.api import Result, detect
from source.bank.files import BankError
from source.cli import entry

BANK = ["x**2*y", "3*x**2*y + 0.001", "q1*q2/r**2", "2*q1*q2/r**2", "exp(-t)*a", "0.5*m*v**2"]


@pytest.fixture(scope="module")
def result():
    return detect(BANK)


def test_the_verdicts_are_the_command_lines(tmp_path, result):
    bank = tmp_path / "bank.txt"
    bank.write_text("\n".join(BANK) + "\n")
    out = tmp_path / "out.json"
    assert entry.main(["detect", str(bank), "--quiet", "--json", str(out)]) == 0
    cli = json.loads(out.read_text())["formulas"]
    from_file = detect(bank)
    keys = ("verdict", "law", "kind", "closeness", "structure", "canonical")
    assert [{k: f[k] for k in keys} for f in from_file.formulas] == [
        {k: f[k] for k in keys} for f in cli
    ]
    assert [{k: f[k] for k in keys if k != "id"} for f in result.formulas] == [
        {k: f[k] for k in keys} for f in cli
    ]
    assert [f["id"] for f in from_file.formulas] == [f["id"] for f in cli]


def test_the_result_holds_the_table_and_the_structures(result):
    assert len(result.formulas) == len(BANK)
    verdicts = [f["verdict"] for f in result.formulas]
    assert verdicts[5] == "known" and "kinetic_energy" in result.formulas[5]["laws"]  # 0.5*m*v**2
    assert verdicts[2] == "new"  # q1*q2/r**2: Coulomb's law wants its constant
    assert result.structures and all(s["members"] >= 2 for s in result.structures)
    assert sum(s["members"] for s in result.structures) <= len(BANK)
    assert "formulas" in repr(result) and "known" in result.report()


@pytest.mark.parametrize(
    "bank",
    [
        {"a": "x**2*y", "b": "3*x**2*y"},
        [("a", "x**2*y"), ("b", sp.sympify("3*x**2*y"))],
    ],
    ids=["dict", "pairs"],
)
def test_a_bank_in_memory_keeps_its_ids(bank):
    got = detect(bank)
    assert [f["id"] for f in got.formulas] == ["a", "b"]


@pytest.mark.parametrize(
    "bank, error, said",
    [
        ("no/such/bank.csv", ValueError, "no bank file"),
        ([], ValueError, "no formulas"),
        (["x + "], ValueError, "formula f0"),
        ([3.5], TypeError, "text or a sympy expression"),
        (["x", "__import__('os')"], ValueError, "formula f1"),
    ],
)
def test_bad_banks_are_refused_with_what_is_wrong(bank, error, said):
    with pytest.raises(error, match=said):
        detect(bank)


def test_a_bad_row_of_a_file_is_an_error_unless_skipped(tmp_path):
    bank = tmp_path / "bank.txt"
    bank.write_text("x**2*y\nx + \n3*x**2*y\n")
    with pytest.raises(BankError, match="cannot parse"):
        detect(bank)
    got = detect(bank, skip_bad=True)
    assert [f["verdict"] for f in got.formulas][-1] == "skipped" and len(got.skipped) == 1


def test_settings_and_libraries_are_taken(result):
    laws = {"square_law": "a*b**2"}
    got = detect(BANK, laws, sim_threshold=0.95)
    assert got.run.settings["sim_threshold"] == 0.95
    assert {f["law"] for f in got.formulas} <= {"square_law", None}
    with pytest.raises(TypeError, match="unknown settings"):
        detect(BANK, sim_treshold=0.9)


def test_pandas_and_the_notebook_get_the_tables(result):
    pd = pytest.importorskip("pandas")
    formulas, structures = result.to_pandas()
    assert isinstance(formulas, pd.DataFrame) and len(formulas) == len(BANK)
    assert list(formulas["verdict"]) == [f["verdict"] for f in result.formulas]
    assert len(structures) == len(result.structures)
    page = result._repr_html_()
    inner = page.removeprefix("<pre style='white-space: pre-wrap'>").removesuffix("</pre>")
    assert html.unescape(inner) == result.report() and "<" not in inner
    assert isinstance(result, Result)


def test_the_package_offers_detect_and_stays_light_to_import():
    import subprocess
    import sys

    import source

    assert source.detect is detect
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        _ = source.nothing
    loaded = subprocess.run(
        [sys.executable, "-c", "import sys, source; print('sympy' in sys.modules)"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert loaded.strip() == "False"
