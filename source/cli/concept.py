"""``keltran concept``: the concept behind one operator, its invariants grouped into families,
through the language model where asked."""

import argparse
import contextlib
import io
import json
import sys
import warnings
from pathlib import Path
from typing import Any

from source.bank.parsing import FormulaError, parse_formula
from source.cli.errors import CliError
from source.cli.outputs import atomic, check_outputs, is_stdout
from source.engine import kt
from source.report.concept_text import concept_json, concept_text


def _concept_report(args: argparse.Namespace) -> dict[str, Any]:
    """The report `discover_concept` takes, with the formula read as bank files are read."""
    text = args.report
    path = Path(text)
    params = None
    if text == "-" or path.suffix.lower() == ".json":
        if text != "-" and not path.is_file():
            raise CliError(f"file not found: {path}")
        try:
            raw = sys.stdin.read() if text == "-" else path.read_text(encoding="utf-8-sig")
            data = json.loads(raw)
        except UnicodeDecodeError:
            raise CliError(f"{path}: not UTF-8 text") from None
        except ValueError as e:
            raise CliError(f"{path}: not valid JSON: {e}") from None
        if isinstance(data, dict) and "candidates" in data:  # a `detect --json` document
            if not data["candidates"]:
                raise CliError(f"{path}: the document holds no candidates")
            if not 0 <= args.index < len(data["candidates"]):
                raise CliError(
                    f"{path}: no candidate {args.index} (it holds {len(data['candidates'])})"
                )
            name, definition = (
                f"structure {args.index}",
                data["candidates"][args.index].get("formula"),
            )
        elif isinstance(data, dict):
            name, definition, params = (
                data.get("name", "concept"),
                data.get("definition"),
                data.get("params"),
            )
        else:
            raise CliError(f"{path}: expected a report object or a detect document")
        if not isinstance(definition, str):
            raise CliError(f"{path}: the report has no formula ('definition')")
    else:
        name, definition = text, text
    try:
        expr = parse_formula(definition)
    except FormulaError as e:
        raise CliError(f"cannot parse formula {definition!r}: {e}") from None
    if params is not None and not (
        isinstance(params, list) and all(isinstance(p, str) for p in params)
    ):
        raise CliError("'params' must be a list of parameter names")
    return {"name": str(name), "definition": expr, "params": params}


def command(args: argparse.Namespace) -> int:
    check_outputs([("--json", args.json)], [args.report])
    report = _concept_report(args)
    client = None
    if args.llm:
        if kt.groq_client is None:
            raise CliError(
                "--llm needs a language-model key: set GROQ_API_KEY "
                "(export GROQ_API_KEY='your-key') and run again",
                code=3,
            )
        client = kt.llm_call
    captured = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(captured):
        warnings.simplefilter("ignore")
        try:
            found = kt.discover_concept(report, llm_client=client, verbose=args.verbose)
        except ValueError as e:
            raise CliError(f"cannot discover the concept of {report['definition']}: {e}") from None
    failures = [
        line
        for line in captured.getvalue().splitlines()
        if line.endswith("timed out or failed") or line.startswith("LLM grouping failed")
    ]
    if args.json:
        with atomic(args.json) as f:
            json.dump(concept_json(found), f, indent=2, ensure_ascii=False)
    if not is_stdout(args.json):
        print(concept_text(found, failures if args.verbose else []))
    return 0
