"""Rows read natively are the rows the Python path reads: the same formula as printed, the same
descriptor field by field, the same verdict, and a run on them finds the same structures with
the same members and scores. The Python path is the reference: `native_rows.ENABLED` off."""

import dataclasses
import json
import warnings

import formulas
import numpy as np
import pytest
import sympy as sp

from source.bank.files import read_rows
from source.bank.laws import load_library
from source.cli import entry as cli
from source.judge.verdicts import Judge
from source.run import native_rows
from source.run.describe import describe_rows
from source.run.results import DescribedExprs

FIELDS = [f.name for f in dataclasses.fields(native_rows.kt.ExprDescriptor)]


def _bank(tmp_path, name, rows):
    path = tmp_path / name
    path.write_text(json.dumps(rows))
    return read_rows([str(path)])


@pytest.fixture(scope="module")
def banks(tmp_path_factory):
    """Banks as files give them: the Feynman rows with their ranges, symbolic-regression output
    with its ranges, variants without ranges, random formulas with odd numbers, and rows the
    native pass leaves (a constant, a 17-digit literal, an unknown function, a syntax error)."""
    tmp = tmp_path_factory.mktemp("banks")
    sr = read_rows([str(formulas.SR_BANK)])[::23]
    odd = [
        "3.5",
        "51950948352.000000 + 0.5*X1",
        "foo(x) + 1",
        "x +* 2",
        "F = m*a",
        "x**0.5 + 1e-9*y",
        "2*(x + 1)*y - sin(-x)",
    ]
    return {
        "feynman": read_rows([str(formulas.ROOT / "source" / "data" / "feynman_equations.csv")]),
        "regression": sr,
        "variants": _bank(tmp, "variants.json", list(formulas.variants(150))),
        "random": _bank(tmp, "random.json", list(formulas.random_texts(200, seed=5))),
        "odd": _bank(tmp, "odd.json", odd),
    }


def _read(rows, enabled, monkeypatch):
    monkeypatch.setattr(native_rows, "ENABLED", enabled)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return describe_rows(rows, True, 0, judging=(load_library(), 0.999))


def _same_descriptor(a, b):
    for name in FIELDS:
        x, y = getattr(a, name), getattr(b, name)
        if name in ("expr", "numeric_expr"):
            assert sp.srepr(x) == sp.srepr(y), name
        elif isinstance(x, np.ndarray):
            assert x.dtype == y.dtype and np.array_equal(x, y, equal_nan=True), name
        elif isinstance(x, float) and np.isnan(x):
            assert np.isnan(y), name
        else:
            assert type(x) is type(y) and x == y, name


@pytest.mark.parametrize("bank", ["feynman", "regression", "variants", "random", "odd"])
def test_a_row_read_natively_is_the_row_read_in_python(banks, bank, monkeypatch):
    rows = banks[bank]
    native, python = _read(rows, True, monkeypatch), _read(rows, False, monkeypatch)
    read = 0
    for n, p in zip(native, python):
        if isinstance(p, Exception):
            assert type(n) is type(p) and str(n) == str(p)
            continue
        assert (n[0], n[3]) == (p[0], p[3])  # lhs, and the formula as printed
        _same_descriptor(n[2], p[2])
        read += isinstance(n[2], native_rows.NativeDescriptor)
    if bank != "odd":
        assert read >= 0.9 * len(rows)
    else:  # a constant, an equation and two formulas of numbers the native pass holds
        assert read == 4


@pytest.mark.parametrize("bank", ["feynman", "regression", "variants"])
def test_a_verdict_made_natively_is_the_python_verdict(banks, bank, monkeypatch):
    from source.judge import verdicts

    rows = banks[bank]
    judge = verdicts.judge_of(load_library(), 0.005, 0.999)
    judged = 0
    for row, outcome in zip(rows, _read(rows, True, monkeypatch)):
        v = native_rows.verdict_of(outcome[2])
        if v is None:
            continue
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            expected = judge.verdict(outcome[2].numeric_expr, row.bounds or None)
        assert (v.verdict, v.law, v.laws, v.kind, v.mapping, v.folded) == (
            expected.verdict,
            expected.law,
            expected.laws,
            expected.kind,
            expected.mapping,
            expected.folded,
        )
        assert v.closeness == expected.closeness
        c, e = v.canonical, expected.canonical
        assert (v.canonical_text, c.intercept, c.scale, c.changes) == (
            str(e.core),
            e.intercept,
            e.scale,
            e.changes,
        )
        judged += 1
    assert judged >= 0.9 * len(rows)


def test_native_descriptors_travel_and_read_back_as_described(banks, monkeypatch):
    import pickle

    rows = banks["variants"][:20]
    for outcome in _read(rows, True, monkeypatch):
        d = outcome[2]
        again = pickle.loads(pickle.dumps(d))
        assert isinstance(again, native_rows.NativeDescriptor)
        _same_descriptor(again, d)
        assert native_rows.verdict_of(again) == native_rows.verdict_of(d)
    descriptors = [o[2] for o in _read(rows, True, monkeypatch)]
    assert native_rows.pack(descriptors) == native_rows.kt.pack_descriptors(
        [native_rows.kt.ExprDescriptor(**{f: getattr(d, f) for f in FIELDS}) for d in descriptors]
    )
    assert list(DescribedExprs(descriptors)) == [d.numeric_expr for d in descriptors]


def _run(tmp_path, bank, enabled, monkeypatch, capsys):
    monkeypatch.setattr(native_rows, "ENABLED", enabled)
    out = tmp_path / f"{enabled}.json"
    code = cli.main(["detect", str(bank), "--large", "--quiet", "--json", str(out)])
    capsys.readouterr()
    assert code == 0
    return json.loads(out.read_text())


def test_a_run_on_rows_read_natively_finds_what_the_python_path_finds(
    tmp_path, monkeypatch, capsys
):
    bank = tmp_path / "bank.json"
    bank.write_text(json.dumps(list(formulas.variants(120)) + list(formulas.regression(41))))
    native, python = (_run(tmp_path, bank, e, monkeypatch, capsys) for e in (True, False))
    assert native["candidates"] and native["candidates"] == python["candidates"]
    assert native["formulas"] == python["formulas"] and native["counts"] == python["counts"]


@pytest.mark.parametrize("bank", ["feynman", "regression"])
def test_a_row_read_in_a_block_is_the_row_read_alone(banks, bank):
    # Rows of one block that offer the laws the same columns share their law values: a row
    # read among others must be read as it is alone.
    rows = banks[bank][:120]
    judge = Judge(load_library())
    texts, bounds = [r.formula for r in rows], [r.bounds or None for r in rows]

    def read(t, b):
        return native_rows.kt._read_rows(t, b, 0, 0.005, judge.library, judge.forms, 0.999)

    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        together = read(texts, bounds)
        alone = [read([t], [b])[0] for t, b in zip(texts, bounds)]
    assert sum(row is not None and row[5] is not None for row in together) > len(rows) // 2
    assert repr(together) == repr(alone)
