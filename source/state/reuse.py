"""What a run can take from a kept state (`Kept`, as the store read it): which of the bank's
rows the state holds (by formula and ranges), their descriptors, read only where something
looks at them, the graph's pairs of kept rows that are still in the same order, and what was
measured of each cluster and structure (`Reuse`). Its result is the result of a run from
scratch on the same files."""

import bisect
from collections.abc import Mapping, Sequence
from typing import Any, cast

import numpy as np

from source.bank.files import Pending
from source.engine import kt
from source.judge import verdicts
from source.judge.canonical import SNAP_TOLERANCE
from source.run.describe import Judging, Outcome, describe_rows
from source.run.graph import Edges, Graph, extend_graph
from source.run.progress import Progress, quiet
from source.run.results import Found
from source.run.runner import Runner
from source.state import records
from source.state.kept import Kept, KeptDescriptor
from source.state.records import (
    RowKey,
    damaged,
    library_id,
    row_key,
)


def match(kept: Kept, rows: Sequence[Pending], use_ranges: bool) -> list[int]:
    """For every row, the kept row it is (the k-th row of a formula and ranges takes the k-th
    kept row of them), or -1."""
    return matched(kept, [row_key(row.formula, row.bounds, use_ranges) for row in rows])


def matched(kept: Kept, keys: Sequence[RowKey]) -> list[int]:
    """`match` for rows of these keys (`row_key`)."""
    taken: dict[RowKey, int] = {}
    out: list[int] = []
    for key in keys:
        olds = kept.by_key.get(key, ())
        k = taken.get(key, 0)
        out.append(olds[k] if k < len(olds) else -1)
        taken[key] = k + 1
    return out


def in_order(old: Sequence[int]) -> list[int]:
    """The entries of `old` (kept rows, -1 for none) in the longest run of increasing kept rows;
    the others -1. Those rows keep their pairs' order, so the graph's kept similarities, each
    measured from the earlier row to the later, hold for them."""
    tails: list[int]
    tail_at: list[int]
    tails, tail_at, back = [], [], [-1] * len(old)
    for i, k in enumerate(old):
        if k < 0:
            continue
        at = bisect.bisect_left(tails, k)
        if at == len(tails):
            tails.append(k)
            tail_at.append(i)
        else:
            tails[at], tail_at[at] = k, i
        back[i] = tail_at[at - 1] if at else -1
    out = [-1] * len(old)
    i = tail_at[-1] if tail_at else -1
    while i >= 0:
        out[i] = old[i]
        i = back[i]
    return out


def kept_edges(kept: Kept, old: Sequence[int]) -> Edges:
    """The kept graph's edges between rows of `old` (kept row per current row, -1 for none, in
    increasing order), as current rows."""
    position = np.full(len(kept), -1, dtype=np.int64)
    for i, k in enumerate(old):
        if k >= 0:
            position[k] = i
    rows, cols, values = kept.graph
    r, c = position[rows], position[cols]
    keep = (r >= 0) & (c >= 0)
    return r[keep], c[keep], values[keep]


def describe(
    kept: Kept | None,
    rows: Sequence[Pending],
    use_ranges: bool,
    seed: int | None,
    runner: Runner | None = None,
    progress: Progress = quiet,
    snap: float = SNAP_TOLERANCE,
    judging: Judging | None = None,
) -> tuple[list[Outcome], list[int], list[int]]:
    """`run.describe_rows` for rows of which a state may hold some: one outcome per row, (lhs,
    expr, descriptor, text) or the row's FormulaError, the kept ones read from the state (expr
    None: their descriptor's `numeric_expr` builds it when read) and the others parsed and
    described; for every row the kept row whose pairs it takes (one kept row
    per row), or -1; and the kept row whose record it took, or -1."""
    old = match(kept, rows, use_ranges) if kept is not None else [-1] * len(rows)
    outcomes: list[Outcome | None] = [None] * len(rows)
    # A row the state holds fewer times than the bank takes the descriptor of its first kept
    # copy; only its pairs are measured again.
    source = (
        [
            k if k >= 0 else kept.by_key.get(row_key(r.formula, r.bounds, use_ranges), [-1])[0]
            for r, k in zip(rows, old)
        ]
        if kept is not None
        else list(old)
    )
    reused = [i for i, k in enumerate(source) if k >= 0]
    for done, i in enumerate(reused, start=1):
        assert kept is not None  # only a state's rows are reused
        outcomes[i] = kept.outcome(source[i], rows[i])
        if outcomes[i] is None:
            old[i] = -1
        progress("reading the state", done, len(reused))
    fresh = [i for i, o in enumerate(outcomes) if o is None]
    for i, o in zip(
        fresh,
        describe_rows(
            [rows[i] for i in fresh],
            use_ranges,
            seed,
            runner,
            progress=progress,
            snap=snap,
            judging=judging,
        ),
    ):
        outcomes[i] = o
        source[i] = -1
    return cast(list[Outcome], outcomes), old, source  # every row has its outcome now


class Reuse:
    """What a run takes from a kept state for its rows (the bank files' rows of its entries;
    `source[i]` the kept row whose record row i took, or -1), scored against `library`; `graph`,
    the rows' similarity graph made from the kept one (`graph`)."""

    def __init__(
        self,
        kept: Kept,
        rows: Sequence[Pending],
        source: Sequence[int],
        library: dict[str, Any],
        use_ranges: bool,
        graph: Graph | None = None,
        packed: dict[int, bytes] | None = None,
    ) -> None:
        self.kept, self.library, self.source, self.graph = kept, library, list(source), graph
        # the rows packed by PACK_BLOCK, by block, as far as `graph` packed them
        self.packed = packed
        # A row that took a kept record has that record's key.
        self.keys = [
            kept.keys[k] if k >= 0 else row_key(r.formula, r.bounds, use_ranges)
            for r, k in zip(rows, source)
        ]

    def verdicts(self, snap: float, threshold: float) -> list[Any]:
        """Each row's verdict kept with this library and settings, or None (`verdicts.Verdict`)."""
        key = verdicts.verdict_key(library_id(self.library), snap, threshold)
        out: list[Any] = []
        for k in self.source:
            record = self.kept.records[k].get("verdict") if k >= 0 else None
            try:
                out.append(
                    verdicts.from_record(record)
                    if isinstance(record, dict) and record.get("key") == key
                    else None
                )
            except (ValueError, TypeError, KeyError) as e:
                raise damaged(self.kept.folder, f"row {k + 1}'s verdict: {e}") from None
        return out

    def parts(self, members: Sequence[int]) -> dict[str, Any] | None:
        """The kept scoring parts of the cluster of these rows, or None."""
        return self.kept.parts([self.keys[r] for r in members], self.library)

    def record(self, members: Sequence[int]) -> dict[str, Any] | None:
        """The kept record of the cluster of these rows, as read (JSON data), or None."""
        return self.kept._record([self.keys[r] for r in members], self.library)

    def known(self, members: Sequence[int], near: float) -> dict[str, Any] | None:
        """What else was kept of the cluster of these rows (`Kept.known`), or None."""
        return self.kept.known([self.keys[r] for r in members], self.library, near)

    def block(self, found: Found) -> str | None:
        """The kept text block of a structure (`run.Found`), or None."""
        return self.kept.block([self.keys[r] for r in found.rows], self.library, found.candidate)


def graph(
    kept: Kept,
    descriptors: list[Any],
    old: Sequence[int],
    settings: Mapping[str, Any],
    runner: Runner | None = None,
    progress: Progress = quiet,
) -> tuple[Graph, dict[int, bytes]]:
    """The similarity graph of described rows (`old`: the kept row each took, or -1), from the
    kept graph where it holds; and the rows packed by PACK_BLOCK, by block, as far as they were
    (`write` keeps them). A block of the same kept rows as a kept block takes its packing."""
    rows = in_order(old)
    packed: dict[int, bytes] = {}
    for b, packing in enumerate(kept.packs):
        o, e = b * records.PACK_BLOCK, min((b + 1) * records.PACK_BLOCK, len(kept))
        if (
            packing
            and e <= len(rows)
            and (e - o == records.PACK_BLOCK or e == len(rows))
            and rows[o:e] == list(range(o, e))
        ):
            packed[b] = packing
    taken = bool(packed)
    try:
        edges = extend_graph(
            descriptors,
            [k >= 0 for k in rows],
            kept_edges(kept, rows),
            settings["sim_threshold"],
            settings["alpha"],
            settings["beta"],
            runner,
            block_size=records.PACK_BLOCK,
            packed=packed,
            progress=lambda done, total: progress("similarity graph", done, total),
        )
    except ValueError:
        if taken:  # only a kept packing can be malformed: the others were packed here
            raise damaged(kept.folder, "the packed rows are malformed") from None
        raise
    except TypeError:
        # Packing says no more than "not a descriptor": a kept row that cannot be read or packed
        # is damage, and says so.
        for d in descriptors:
            if isinstance(d, KeptDescriptor):
                d.expr, d.root_type  # its tree, and its fields
                try:
                    kt.pack_descriptors([d])
                except TypeError:
                    raise damaged(
                        kept.folder, "a kept row's descriptor is not one describe() makes"
                    ) from None
        raise
    return edges, packed
