"""What the command line reads: the bank (described as it is read, taking what a kept state
holds) and the library, and the checks made before the work starts."""

import contextlib
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from source.bank import files
from source.bank.feynman import load_bank
from source.bank.laws import load_library
from source.cli.errors import CliError
from source.cli.progress import Progress
from source.run.describe import Judging
from source.run.runner import Runner
from source.state import reuse
from source.state.records import StateError


@contextlib.contextmanager
def said() -> Iterator[None]:
    """A bank file or a kept state that cannot be used stops the command with its own message."""
    try:
        yield
    except (files.BankError, StateError) as e:
        raise CliError(str(e)) from None


def warn(text: str) -> None:
    print(text, file=sys.stderr)


def _checked_entries(
    paths: list[str], entries: list[files.Entry], skipped: list[dict[str, Any]]
) -> None:
    if skipped:
        warn(f"warning: skipped {len(skipped)} unparsable row(s) of {', '.join(map(str, paths))}")
    if not entries:
        raise CliError(f"{', '.join(map(str, paths))}: no formulas")


def read_entries(
    paths: list[str], skip_bad: bool, unique_ids: bool, progress: Progress, what: str
) -> tuple[list[files.Entry], list[dict[str, Any]]]:
    """The entries of files read whole (a library), and the rows skipped."""
    entries, skipped = files.load_all(
        paths,
        skip_bad,
        warn=warn,
        unique_ids=unique_ids,
        progress=lambda done, total: progress(f"reading {what}", done, total),
    )
    _checked_entries(paths, entries, skipped)
    return entries, skipped


@dataclass
class Described:
    """A bank row that was read and described: its row, its left-hand side, descriptor and
    formula as printed, the kept row whose pairs it takes and the kept row whose record it took
    (each -1 for none)."""

    row: Any
    lhs: str | None
    descriptor: Any
    text: str
    old: int
    source: int


@dataclass
class Bank:
    """The bank of a run: its entries and the rows skipped, a label; for files, each entry's
    row as read and described (`described`) and for every row read whether it was parsed
    (`order`, which puts the skipped rows back in their places)."""

    entries: list[files.Entry]
    skipped: list[dict[str, Any]]
    label: str
    described: list[Described] | None = None
    order: list[bool] | None = None
    rows: list[Any] = field(init=False)

    def __post_init__(self) -> None:
        self.rows = [d.row for d in self.described] if self.described is not None else []

    def column(self, name: str) -> list[Any] | None:
        """One field of every described row, in order; None for the bundled bank."""
        return None if self.described is None else [getattr(d, name) for d in self.described]


def bank_label(paths: Sequence[str]) -> str:
    """The bank's files as the report names them: all of a few, the first and last of many."""
    names = ["standard input" if str(p) == "-" else str(p) for p in paths]
    if len(names) <= 3:
        return ", ".join(names)
    return f"{len(names)} files: {names[0]}, \u2026, {names[-1]}"


def read_bank(
    paths: list[str],
    skip_bad: bool,
    use_ranges: bool,
    seed: int,
    snap: float,
    runner: Runner,
    progress: Progress,
    check_size: Callable[[int], None],
    kept: reuse.Kept | None = None,
    judging: Judging | None = None,
) -> Bank:
    """The bank files' rows, each parsed and described as it is read (on the runner), or taken
    from the kept state `kept` where it holds them; without files, the bundled Feynman bank.
    With `judging` (library, fit threshold), rows read natively are judged as they are read."""
    if not paths:
        entries = [files.Entry(f.id, f.expr, f.bounds, "bundled Feynman bank") for f in load_bank()]
        return Bank(entries, [], "bundled Feynman bank")
    rows = files.read_rows(paths)
    check_size(len(rows))
    outcomes, old, source = reuse.describe(
        kept, rows, use_ranges, seed, runner, progress, snap=snap, judging=judging
    )
    parsed = [o if isinstance(o, Exception) else o[:2] for o in outcomes]
    entries, skipped = files.settle(rows, parsed, skip_bad, warn, unique_ids=True)
    _checked_entries(paths, entries, skipped)
    described = [
        Described(rows[k], o[0], o[2], o[3], old[k], source[k])
        for k, o in enumerate(outcomes)
        if not isinstance(o, Exception)
    ]
    return Bank(
        entries,
        skipped,
        bank_label(paths),
        described,
        [not isinstance(o, Exception) for o in outcomes],
    )


def read_library(
    paths: list[str] | None, skip_bad: bool, unique_ids: bool, progress: Progress
) -> tuple[dict[str, Any], str]:
    if not paths:
        return load_library(), "bundled textbook laws"
    entries, _ = read_entries(paths, skip_bad, unique_ids, progress, "the library")
    return {e.id: e.expr for e in entries}, ", ".join(paths)


def _memory_available() -> int | None:
    """Bytes of memory available to a new allocation, or None where the system does not say."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    return None


def check_dense_fits(n: int) -> None:
    # The matrix of n*n doubles, and as much again while it is built and summarised.
    need, available = 16 * n * n, _memory_available()
    if available is not None and need > available:
        raise CliError(
            f"{n} formulas need about {need / 2**30:.1f} GB for the dense similarity matrix, "
            "more than "
            f"the {available / 2**30:.1f} GB available: use --large (the sparse similarity graph)"
        )


def warn_if_shared(folder: str) -> None:
    """A state folder others may write to can be changed under the next run: say so."""
    with contextlib.suppress(OSError):
        mode = os.stat(folder).st_mode
        if mode & 0o022:
            who = "anyone" if mode & 0o002 else "its group"
            warn(
                f"warning: {folder} is writable by {who}: whoever can write there can change "
                "what the next "
                f"run reads from the state (chmod go-w {folder})"
            )
