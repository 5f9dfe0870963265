"""The JSON document as written: the same document json reads back, whatever its values, with
one line per entry of its long lists; and the runs a bank's rows name, counted for the run."""

import io
import json
import math

import pytest

from source.bank.rows import Origin
from source.report.document import dump
from source.run.results import Run

DOCS = [
    {},
    {"empty": [], "nothing": None, "nested": {"k": [1, {"z": None}], "t": 'é\n"q"'}},
    {"formulas": [{"id": "a", "closeness": 0.25, "laws": []}, None, "x", [1, [2]]]},
    {"numbers": [1e308, -0.0, 5e-324, 12345678901234567890], "inf": math.inf, "nan": math.nan},
    {"ünïcode": ["λ·x²", "\u2028"], "flag": True},
]


@pytest.mark.parametrize("doc", DOCS, ids=range(len(DOCS)))
def test_the_document_written_reads_back_as_it_was(doc):
    f = io.StringIO()
    dump(doc, f)
    back = json.loads(f.getvalue())
    assert json.dumps(back, sort_keys=True) == json.dumps(doc, sort_keys=True)


def test_each_entry_of_a_long_list_is_a_line_of_its_own():
    entries = [{"id": str(k), "formula": f"x**{k}"} for k in range(1000)]
    f = io.StringIO()
    dump({"formulas": entries}, f)
    lines = f.getvalue().splitlines()
    assert len(lines) == len(entries) + 4
    assert [json.loads(line.strip().rstrip(",")) for line in lines[2:-2]] == entries


def _origin(run):
    return Origin(file="bank.csv", run=run, loss=None, complexity=None)


@pytest.mark.parametrize(
    "origins, runs",
    [(None, 0), ([None, None], 0), ([_origin("a"), None, _origin("a")], 1)],
)
def test_the_runs_rows_name_are_counted_again_when_the_origins_change(origins, runs):
    run = Run(ids=[], exprs=[], descriptors=[], clusters=[], found=[], result=None)
    run.origins = origins
    assert run.runs == runs
    run.origins = [_origin("a"), _origin("b"), _origin("b")]
    assert run.runs == 2
