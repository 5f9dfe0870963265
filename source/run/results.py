"""What a run gives: every structure found (`Found`), with the rows that formed it, and the run
as a whole (`Run`): its rows, clusters, similarities, verdicts and settings."""

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, overload

import numpy as np


@dataclass
class Found:
    """A detected structure: the candidate record, its cluster (an index into `Run.clusters`)
    and the bank rows of that cluster; the known law it is (`match`, a LibraryMatch or None
    for a new structure), and for each row the law that member is (its own match, or the
    structure's where the law is an instance of the formula) and its `bindings` (what each
    wildcard and variable of the formula stands for in it, or None)."""

    candidate: Any
    cluster: int
    rows: list[Any]
    match: Any = None
    member_matches: list[Any] = field(default_factory=list)
    bindings: list[Any] = field(default_factory=list)
    binding_texts: list[Any] = field(
        default_factory=list
    )  # each member's bindings as printed ({str: str}), or None
    terms: dict[Any, Any] = field(
        default_factory=dict
    )  # the score's weighted terms by name; they add up to it
    formula_text: str | None = None  # the candidate's formula as printed, where known (`shown`)
    verdict: Any = None  # the StructureVerdict its members' verdicts make
    key: str = ""  # the structure's stable id, made from its formula (`ranking.structure_key`)
    runs: int = 0  # in how many of the bank's runs it recurs (0: the rows name no run)
    degenerate: bool = False  # its members' behaviour overflows, is undefined or is constant

    def shown(self) -> str:
        """The candidate's formula as printed (str), made once."""
        if self.formula_text is None:
            self.formula_text = str(self.candidate.formula)
        return self.formula_text


class DescribedExprs(Sequence[Any]):
    """The rows' expressions as their descriptors hold them (`numeric_expr`), read when looked
    at: descriptors kept from an earlier run build their expressions only when asked."""

    def __init__(self, descriptors: Sequence[Any]) -> None:
        self.descriptors = descriptors

    def __len__(self) -> int:
        return len(self.descriptors)

    @overload
    def __getitem__(self, i: int) -> Any: ...

    @overload
    def __getitem__(self, i: slice) -> list[Any]: ...

    def __getitem__(self, i: int | slice) -> Any:
        if isinstance(i, slice):
            return [d.numeric_expr for d in self.descriptors[i]]
        return self.descriptors[i].numeric_expr


@dataclass
class Run:
    ids: list[Any]
    exprs: Sequence[Any]
    descriptors: list[Any]
    clusters: list[Any]  # lists of row indices, in cluster order
    found: list[Found]  # Found, in cluster order
    result: Any  # the FilterResult of the candidates, or None
    matrix: np.ndarray | None = None  # the dense path's similarity matrix
    graph: tuple[Any, ...] | None = None  # the large path's (rows, cols, similarities, pruned)
    library_descriptors: dict[Any, Any] = field(default_factory=dict)
    left_out: dict[Any, Any] = field(default_factory=dict)  # row -> why it is in no structure
    accounts: dict[Any, Any] = field(
        default_factory=dict
    )  # cluster -> its scoring parts (`_score_cluster`)
    settings: dict[Any, Any] = field(default_factory=dict)  # every setting the run used, by keyword
    texts: list[Any] | None = None  # each row's formula as printed, where known (`text`)
    compositions: dict[Any, Any] = field(
        default_factory=dict
    )  # cluster -> the filter's composition distance
    verdicts: list[Any] = field(default_factory=list)  # each row's Verdict: a known law or new
    origins: list[Any] | None = None  # each row's files.Origin (file, run, loss), where known

    # (origins, how many runs they name): counted once, not per structure that asks
    _runs: tuple[Any, int] | None = field(default=None, init=False, repr=False, compare=False)

    @property
    def runs(self) -> int:
        """How many runs the bank's rows come from (0 where the rows name none)."""
        if self._runs is None or self._runs[0] is not self.origins:
            counted = len({o.run for o in self.origins if o is not None}) if self.origins else 0
            self._runs = (self.origins, counted)
        return self._runs[1]

    def text(self, r: int) -> str:
        """Row r's formula as printed (str), made once."""
        if self.texts is None:
            self.texts = [None] * len(self.exprs)
        if self.texts[r] is None:
            self.texts[r] = str(self.exprs[r])
        return self.texts[r]

    @property
    def candidates(self) -> list[Any]:
        return [f.candidate for f in self.found]

    def rows_of(self, candidate: Any) -> list[int]:
        """The bank rows of a candidate of this run (by identity)."""
        for f in self.found:
            if f.candidate is candidate:
                return f.rows
        raise KeyError("not a candidate of this run")
