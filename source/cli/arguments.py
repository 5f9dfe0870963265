"""The command line's arguments: the options of every command, those of a run's settings made
from the settings table."""

import argparse
from collections.abc import Callable
from typing import Any

from source.cli import concept, detect, library
from source.settings import SEED, TUNED, USE_RANGES, Option
from source.version import installed


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _count(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _checked(option: Option) -> Callable[[str], Any]:
    """argparse's type for an option: its text read as a number and checked against its range."""

    def check(text: str) -> Any:
        try:
            return option.check(_count(text) if option.count else _number(text), text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    return check


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="keltran", description="Structure detection in banks of symbolic formulas."
    )
    p.add_argument("--version", action="version", version=f"keltran {installed()}")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser(
        "detect",
        help="detect recurring structures in a bank of formulas",
        description="Describe, cluster and generalise a bank of formulas, tell which "
        "structures are laws the library holds and which are new, and score "
        "them. Without BANK: the bundled Feynman bank and textbook laws.",
    )
    d.add_argument(
        "bank",
        nargs="*",
        metavar="BANK",
        help="CSV, hall-of-fame CSV, text or JSON files, or - for standard input",
    )
    d.add_argument(
        "--library",
        metavar="LIB",
        action="append",
        help="library file, same formats (name = id); may be given several times",
    )
    d.add_argument(
        "--unique-ids",
        action="store_true",
        help="number repeated library ids (id#2, ...) instead of stopping (bank ids always are)",
    )
    d.add_argument(USE_RANGES.flag, action="store_true", help=USE_RANGES.help)
    for option in TUNED:
        d.add_argument(
            option.flag,
            dest=option.key,
            type=_checked(option),
            default=None,
            metavar="X",
            help=f"{option.help} ({option.default:g})",
        )
    d.add_argument(
        "--category",
        choices=["novel", "repeated", "all"],
        default="all",
        help="detection-score category to report (all)",
    )
    d.add_argument(
        "--behavior", action="store_true", help="add ten compiled compositions per kept structure"
    )
    d.add_argument(
        "--json",
        metavar="OUT.json",
        help="write the results as one JSON document (- for standard output)",
    )
    d.add_argument(
        "--csv",
        metavar="OUT.csv",
        help="write every formula's verdict as a CSV table, one row per formula (- for standard "
        "output)",
    )
    d.add_argument("--html", metavar="OUT.html", help="write a self-contained HTML report")
    d.add_argument(
        "--plot", metavar="OUT.png", help="draw the similarity matrix ordered by structure"
    )
    d.add_argument(
        "--large",
        action="store_true",
        help="large banks: a sparse similarity graph instead of the dense matrix",
    )
    d.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="with --large: run the graph blocks and scoring on this Dask scheduler",
    )
    d.add_argument(
        "--state",
        metavar="DIR",
        help="keep the bank's descriptors and similarity graph in DIR (made if missing), and "
        "describe and measure only rows it does not hold yet; implies --large",
    )
    d.add_argument(SEED.flag, type=int, default=0, help=f"{SEED.help} (0)")
    d.add_argument("--skip-bad", action="store_true", help="skip unparsable rows with a warning")
    d.add_argument(
        "--full",
        action="store_true",
        help="after the short report, every detail: each structure with its members, every "
        "formula left out, each structure's behaviour and the filter's sections",
    )
    d.add_argument(
        "--quiet",
        action="store_true",
        help="no progress; with --full, no members, no left-out list, no raw candidates",
    )
    d.add_argument(
        "--timings",
        action="store_true",
        help="print each stage's time and this process's peak memory on standard error",
    )
    d.set_defaults(run=detect.command)
    lib = sub.add_parser(
        "library",
        help="list a library's laws, their forms and the laws of one form",
        description="List the laws of a library (the bundled textbook laws without LIB) with "
        "their forms and where each comes from, and the classes of laws of one form.",
    )
    lib.add_argument("library", nargs="*", metavar="LIB", help="library files (CSV, text or JSON)")
    lib.add_argument(
        "--unique-ids",
        action="store_true",
        help="number repeated ids (id#2, ...) instead of stopping",
    )
    lib.add_argument("--skip-bad", action="store_true", help="skip unparsable rows with a warning")
    lib.set_defaults(run=library.command)
    c = sub.add_parser(
        "concept",
        help="discover the concept behind one operator",
        description="Derive the invariants of an operator and group them into families.",
    )
    c.add_argument(
        "report",
        metavar="FORMULA|REPORT.json",
        help="a formula, a report JSON file, a `detect --json` document, or - for JSON on "
        "standard input",
    )
    c.add_argument("--index", type=int, default=0, help="structure of a detect document (0)")
    c.add_argument("--llm", action="store_true", help="group invariants through the language model")
    c.add_argument(
        "--json", metavar="OUT.json", help="write the concept as JSON (- for standard output)"
    )
    c.add_argument("--verbose", action="store_true", help="report failed or timed-out steps")
    c.set_defaults(run=concept.command)
    return p
