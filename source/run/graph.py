"""The bank's similarities: the dense matrix of all pairs, or, for banks too large for it, the
similarity graph (the pairs at or above the clustering threshold), measured in packed blocks on
the runner. Both come from the engine's `graph_block`, so their numbers are the same."""

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from source.engine import kt
from source.run import native_rows
from source.run.progress import Progress, quiet
from source.run.runner import Done, InProcess, Runner
from source.settings import DETECTION

Edges = tuple[np.ndarray, np.ndarray, np.ndarray]  # rows, cols, similarities
Graph = tuple[np.ndarray, np.ndarray, np.ndarray, int]  # the edges and the pairs pruned


def dense_matrix(
    descriptors: list[Any], alpha: float, beta: float, progress: Progress = quiet, block: int = 150
) -> np.ndarray:
    """`pairwise_matrix(descriptors, alpha=alpha, beta=beta)`, computed in blocks of the
    similarity graph with no threshold so that the work can report its progress: the same
    numbers (the graph's similarities are the matrix's). Descriptors of other shapes than
    `describe` makes take `pairwise_matrix` itself."""
    n = len(descriptors)
    try:
        packed = [native_rows.pack(descriptors[o : o + block]) for o in range(0, n, block)]
    except TypeError:
        progress("all pairs", 0, 1)
        matrix = kt.pairwise_matrix(descriptors, alpha=alpha, beta=beta)
        progress("all pairs", 1, 1)
        return matrix
    matrix = np.zeros((n, n))
    total, done = n * (n + 1) // 2, 0
    progress("all pairs", 0, total)
    for a in range(len(packed)):
        for b in range(a, len(packed)):
            rows, cols, values, _ = kt.graph_block(
                packed[a], None if a == b else packed[b], -math.inf, alpha, beta, a == b
            )
            rows, cols = rows + a * block, cols + b * block
            matrix[rows, cols] = values
            matrix[cols, rows] = values
            done += len(values)
            progress("all pairs", done, total)
    for i, d in enumerate(descriptors):
        matrix[i, i] = kt.similarity(d, d, alpha, beta)
    progress("all pairs", total, total)
    return matrix


def _block(
    packed: Sequence[bytes],
    a: int,
    b: int,
    threshold: float,
    alpha: float,
    beta: float,
    row_offset: int,
    col_offset: int,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, int]:
    rows, cols, values, pruned = kt.graph_block(
        packed[a], None if a == b else packed[b], threshold, alpha, beta, a == b
    )
    return rows + row_offset, cols + col_offset, values, pruned


def _edges_of_pairs(
    packed: Sequence[bytes],
    offsets: Sequence[int],
    pairs: Sequence[tuple[int, int]],
    threshold: float,
    alpha: float,
    beta: float,
    runner: Runner,
    progress: Done | None,
) -> tuple[list[Edges], int]:
    """The edges of the block pairs (a, b), a <= b, of a bank packed in blocks (`packed[k]`
    starts at `offsets[k]`), each measured from the earlier row to the later; and the pairs
    pruned."""
    jobs = [(a, b, threshold, alpha, beta, offsets[a], offsets[b]) for a, b in pairs]
    parts = runner.map(_block, jobs, progress, shared=(list(packed),), native=True)
    if not parts:
        empty = np.empty(0, dtype=np.int64)
        return [(empty, empty, np.empty(0))], 0
    return [p[:3] for p in parts], sum(int(p[3]) for p in parts)


def _sorted_edges(parts: Sequence[Edges]) -> Edges:
    rows = np.concatenate([p[0] for p in parts]).astype(np.int64, copy=False)
    cols = np.concatenate([p[1] for p in parts]).astype(np.int64, copy=False)
    values = np.concatenate([p[2] for p in parts]).astype(np.float64, copy=False)
    order = np.lexsort((cols, rows))
    return rows[order], cols[order], values[order]


def graph_edges(
    packed: Sequence[bytes],
    offsets: Sequence[int],
    threshold: float,
    alpha: float = DETECTION["alpha"],
    beta: float = DETECTION["beta"],
    runner: Runner | None = None,
    progress: Done | None = None,
) -> Graph:
    """The similarity graph of a bank packed in blocks (`packed[k]` starts at `offsets[k]`):
    rows, cols and similarities of the pairs at or above `threshold`, and the pairs pruned."""
    pairs = [(a, b) for a in range(len(offsets)) for b in range(a, len(offsets))]
    parts, pruned = _edges_of_pairs(
        packed, offsets, pairs, threshold, alpha, beta, runner or InProcess(), progress
    )
    return (*_sorted_edges(parts), pruned)


def similarity_graph(
    descriptors: list[Any],
    threshold: float,
    alpha: float = DETECTION["alpha"],
    beta: float = DETECTION["beta"],
    runner: Runner | None = None,
    block_size: int = 2000,
    progress: Done | None = None,
) -> Graph:
    """The similarity graph of described formulas, computed in packed blocks."""
    offsets = list(range(0, len(descriptors), block_size))
    packed = [native_rows.pack(descriptors[o : o + block_size]) for o in offsets]
    return graph_edges(packed, offsets, threshold, alpha, beta, runner, progress)


def extend_graph(
    descriptors: list[Any],
    known: Sequence[bool],
    edges: Edges,
    threshold: float,
    alpha: float = DETECTION["alpha"],
    beta: float = DETECTION["beta"],
    runner: Runner | None = None,
    block_size: int = 500,
    progress: Done | None = None,
    packed: dict[int, bytes] | None = None,
) -> Graph:
    """The similarity graph of described formulas of which some pairs are known already: `known`
    tells for every row whether its pairs with the other known rows are, `edges` (rows, cols,
    similarities) are those pairs' edges. The rows are cut into blocks, and only the block pairs
    that hold a row not known are measured; the graph equals `similarity_graph`'s. `packed`, a
    dict, may hold blocks already packed (`pack_descriptors`), by block; the blocks packed here
    are added to it."""
    n = len(descriptors)
    offsets = list(range(0, n, block_size))
    fresh = [not all(known[o : o + block_size]) for o in offsets]
    pairs = [
        (a, b) for a in range(len(offsets)) for b in range(a, len(offsets)) if fresh[a] or fresh[b]
    ]
    used = sorted({k for pair in pairs for k in pair})
    packed = {} if packed is None else packed
    for k in used:
        if k not in packed:
            packed[k] = native_rows.pack(descriptors[offsets[k] : offsets[k] + block_size])
    order = {k: i for i, k in enumerate(used)}
    parts, pruned = _edges_of_pairs(
        [packed[k] for k in used],
        [offsets[k] for k in used],
        [(order[a], order[b]) for a, b in pairs],
        threshold,
        alpha,
        beta,
        runner or InProcess(),
        progress,
    )
    rows, cols, values = (np.asarray(a) for a in edges)
    # A known edge stands where its block pair was not measured again.
    stale = np.array(fresh, dtype=bool)
    keep = (
        ~(stale[rows // block_size] | stale[cols // block_size])
        if len(rows)
        else np.zeros(0, dtype=bool)
    )
    parts.append((rows[keep], cols[keep], values[keep]))
    return (*_sorted_edges(parts), pruned)
