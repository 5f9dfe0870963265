"""The text blocks of a run's structures: each structure's report, and with --behavior ten
compiled compositions of each structure the filter kept."""

import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from source.engine import kt
from source.run import native_rows
from source.run.describe import formula_seed
from source.run.progress import Progress, quiet
from source.run.runner import InProcess, Runner

if TYPE_CHECKING:
    from source.run.results import Found, Run


def reindexed(block: str, index: int) -> str:
    """A structure's text block numbered for its place in a section."""
    head, _, rest = block.partition("] ")
    return f"  [{index}] {rest}"


def _structure_block(
    index: int,
    candidate: Any,
    seed: int,
    text: str | None = None,
    members: list[str] | None = None,
) -> str:
    """The block of a structure; made natively where its formula as printed (`text`) and its
    members' texts are given and the native path describes it, else by `candidate_report`."""
    if text is not None and members is not None:
        block = kt._structure_report(index, candidate, seed, text, members)
        if block is not None:
            return block
    with warnings.catch_warnings():
        warnings.simplefilter(
            "ignore"
        )  # numpy's overflow and invalid-value warnings of the evaluation
        np.random.seed(formula_seed(seed, candidate.formula))
        return kt.candidate_report(index, candidate)


def _printed(run: "Run", found: "Found") -> tuple[str, list[str]]:
    """A structure's formula and its members as printed, as its block shows them."""
    return found.shown(), [run.text(r) for r in found.rows]


def structure_blocks(
    run: "Run",
    seed: int,
    known: Callable[["Found"], str | None] | None = None,
    progress: Progress = quiet,
    runner: Runner | None = None,
) -> list[str]:
    """Each structure's text block (`candidate_report`), its figures drawn from numpy's generator
    seeded for its formula (`formula_seed`), so that a structure reads the same whatever else
    the bank holds and wherever it is described. `known(found)` may give a block made earlier
    for the same structure, or None."""
    total = len(run.found)
    earlier = [known(f) if known else None for f in run.found]
    blocks = [reindexed(b, i) if b is not None else None for i, b in enumerate(earlier)]
    todo = [i for i, b in enumerate(blocks) if b is None]
    ready = total - len(todo)
    native = native_rows.ENABLED and type(seed) is int
    made = (runner or InProcess()).map(
        _structure_block,
        [
            (i, run.found[i].candidate, seed, *(_printed(run, run.found[i]) if native else ()))
            for i in todo
        ],
        lambda done, _: progress("describing the structures", ready + done, total),
        light=True,
    )
    for i, block in zip(todo, made):
        blocks[i] = block
    return [b for b in blocks if b is not None]


def behavior_blocks(run: "Run", category: str | None = None) -> list[str]:
    """The blocks `behavior` renders for the structures the run's filter kept (novel first,
    then repeated; or one category): a header, the candidate's report and ten compiled
    compositions, each candidate's compositions drawn from a generator seeded with 42. The
    run's own candidates and filter settings are used; nothing is detected again."""
    return kt._behavior_blocks(run.result, category)
