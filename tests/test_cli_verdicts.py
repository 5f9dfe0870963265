"""Every formula's verdict through the command line: the JSON's formulas, the CSV, the report's
account, and `keltran library`."""

import csv
import io
import json

import pytest
from test_cli import run

# Engine output with its variable ranges: kinetic energy with intercept and scale, Coulomb's law
# with 1/(4 pi eps0) folded in, a noise term, a snapped exponent, an unparsable row, new ones.
ROWS = [
    ("k1", "((0.000123) + (0.500012 * ((X1 * X2) * X2)))", 2),
    ("k2", "(1.2e-05 + (0.25 * (X1 * (2.000004 * X2**1.9999))))", 2),
    ("c1", "(8.9875e9 * (X1 * (X2 / (X3 * X3))))", 3),
    ("k3", "(0.5 * X1 * X2 * X2) + (0.000003 * X1)", 2),
    ("bad", "(X1 +* X2)", 2),
    ("n1", "sin(X1) * X2**3", 2),
    ("n2", "exp(-0.3 * X1) * X2 + X1", 2),
]


def write(tmp_path):
    lines = [
        "id,formula,var1_name,var1_low,var1_high,var2_name,var2_low,var2_high,var3_name,var3_low,var3_high"
    ]
    for id_, formula, n in ROWS:
        ranges = [f"X{k},1,5" for k in range(1, n + 1)] + [",,"] * (3 - n)
        lines.append(f'{id_},"{formula}",' + ",".join(ranges))
    (tmp_path / "bank.csv").write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def detected(tmp_path_factory):
    folder = tmp_path_factory.mktemp("verdicts")
    write(folder)
    out = run(
        folder,
        "detect",
        "bank.csv",
        "--skip-bad",
        "--json",
        "out.json",
        "--csv",
        "out.csv",
        "--full",
    )
    assert out.returncode == 0, out.stderr
    return folder, out


def test_every_row_has_one_verdict_in_bank_order(detected):
    folder, _ = detected
    doc = json.loads((folder / "out.json").read_text())
    formulas = doc["formulas"]
    assert [f["id"] for f in formulas] == [r[0] for r in ROWS]
    by_id = {f["id"]: f for f in formulas}
    kinetic = {
        "kinetic_energy",
        "spring_energy",
        "capacitor_energy",
        "electric_power",
        "mass_energy",
    }
    for k in ("k1", "k2", "k3"):
        assert (
            by_id[k]["verdict"] == "known"
            and by_id[k]["law"] in kinetic
            and set(by_id[k]["laws"]) == kinetic
        )
        assert 0.999 <= by_id[k]["closeness"] <= 1.0
    assert by_id["c1"]["law"] == "coulomb_law" and by_id["c1"]["kind"] == "numeric"
    assert "vacuum permittivity" in by_id["c1"]["constants"]
    assert by_id["bad"]["verdict"] == "skipped" and by_id["bad"]["reason"]
    assert (
        by_id["n1"]["verdict"] == "new" and by_id["n1"]["law"] is None and by_id["n1"]["laws"] == []
    )
    assert any("dropped" in c for c in by_id["k3"]["changes"])
    for f in formulas:
        assert f["structure"] is None or 0 <= f["structure"] < len(doc["candidates"])
    # What was there before stays.
    assert {
        "settings",
        "counts",
        "similarity",
        "candidates",
        "left_out",
        "skipped",
        "behavior",
    } <= set(doc)
    assert doc["counts"]["known_formulas"] == 4 and doc["counts"]["new_formulas"] == 2


def test_the_csv_is_the_same_table(detected):
    folder, _ = detected
    rows = list(csv.DictReader(io.StringIO((folder / "out.csv").read_text())))
    doc = json.loads((folder / "out.json").read_text())
    assert [r["id"] for r in rows] == [f["id"] for f in doc["formulas"]]
    assert [r["verdict"] for r in rows] == [f["verdict"] for f in doc["formulas"]]
    assert [r["law"] or None for r in rows] == [f["law"] for f in doc["formulas"]]


def test_the_report_leads_with_the_account_by_verdict(detected):
    _, out = detected
    text = out.stdout
    head = "7 formulas: 4 are 2 known laws, 2 are new, 1 skipped as unparsable"
    # the short report answers first; the full detail follows it
    assert text.index("=== The answer ===") < text.index(head) < text.index("=== Every formula")
    assert text.index("=== Every formula: known law or new ===") < text.index(
        "=== Structures: known law or new ==="
    )
    assert "same form as 5 laws:" in text and "coulomb_law" in text


def test_snapping_and_the_fit_threshold_are_settings(tmp_path):
    write(tmp_path)
    out = run(
        tmp_path,
        "detect",
        "bank.csv",
        "--skip-bad",
        "--snap",
        "0",
        "--fit-threshold",
        "1",
        "--json",
        "o.json",
        "--quiet",
    )
    assert out.returncode == 0, out.stderr
    doc = json.loads((tmp_path / "o.json").read_text())
    assert doc["settings"]["snap"] == 0 and doc["settings"]["fit_threshold"] == 1
    by_id = {f["id"]: f for f in doc["formulas"]}
    assert not any("\u2192" in c or "dropped" in c for f in doc["formulas"] for c in f["changes"])
    # Its noise term kept, the formula is no law's form, and no fit is exact.
    assert by_id["k3"]["verdict"] == "new" and by_id["k1"]["verdict"] == "known"
    for bad in (["--snap", "-1"], ["--snap", "nan"], ["--fit-threshold", "2"]):
        assert run(tmp_path, "detect", "bank.csv", *bad).returncode == 2


def test_the_library_command_lists_laws_forms_and_classes(tmp_path):
    out = run(tmp_path, "library")
    assert out.returncode == 0, out.stderr
    assert "30 laws (bundled textbook laws)" in out.stdout
    assert (
        "5 laws of the form" in out.stdout
        and "capacitor_energy, electric_power, kinetic_energy" in out.stdout
    )
    assert "constants it may fold: epsilon = \u03b50" in out.stdout
    (tmp_path / "laws.csv").write_text("id,formula\nfirst,a*b\nsecond,x*y\nthird,sin(t)\n")
    out = run(tmp_path, "library", "laws.csv")
    assert out.returncode == 0 and "laws.csv:2" in out.stdout and "2 laws of the form" in out.stdout
    assert "first, second" in out.stdout


def test_a_kept_state_keeps_each_formulas_verdict(tmp_path):
    write(tmp_path)
    first = run(
        tmp_path,
        "detect",
        "bank.csv",
        "--skip-bad",
        "--state",
        "kept",
        "--json",
        "a.json",
        "--quiet",
    )
    assert first.returncode == 0, first.stderr
    (rows_file,) = (tmp_path / "kept").glob("rows-*.json")
    records = json.loads(rows_file.read_text())["rows"]
    assert len(records) == len(ROWS) - 1 and all(r["verdict"]["key"] for r in records)
    again = run(
        tmp_path,
        "detect",
        "bank.csv",
        "--skip-bad",
        "--state",
        "kept",
        "--json",
        "b.json",
        "--quiet",
    )
    scratch = run(
        tmp_path, "detect", "bank.csv", "--skip-bad", "--large", "--json", "c.json", "--quiet"
    )
    assert again.returncode == 0 and scratch.returncode == 0, again.stderr + scratch.stderr
    tables = [json.loads((tmp_path / f"{n}.json").read_text())["formulas"] for n in "abc"]
    assert tables[0] == tables[1] == tables[2]
    # Another fit threshold judges the kept rows again, with the same answer as from scratch.
    strict = run(
        tmp_path,
        "detect",
        "bank.csv",
        "--skip-bad",
        "--state",
        "kept",
        "--fit-threshold",
        "1",
        "--json",
        "d.json",
        "--quiet",
    )
    fresh = run(
        tmp_path,
        "detect",
        "bank.csv",
        "--skip-bad",
        "--large",
        "--fit-threshold",
        "1",
        "--json",
        "e.json",
        "--quiet",
    )
    assert strict.returncode == 0 and fresh.returncode == 0, strict.stderr + fresh.stderr
    d, e = (json.loads((tmp_path / f"{n}.json").read_text())["formulas"] for n in "de")
    assert d == e and d != tables[0]
