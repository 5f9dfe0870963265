"""The bank's similarities: the dense matrix of all pairs, measured in packed blocks, or, for
banks too large for it, the similarity graph (the pairs at or above the clustering threshold),
measured over the whole bank at once by one index of candidate pairs. Both judge a pair as the
engine's `graph_block` does, so their numbers are the same."""

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from source.engine import kt
from source.run import native_rows
from source.run.progress import Progress, quiet
from source.run.runner import Done, Runner
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
    rows, cols and similarities of the pairs at or above `threshold`, and the pairs pruned.
    The blocks are unpacked once and measured together on this process's cores, one index over
    all rows offering the candidate pairs: the runner is not asked (every block would need the
    whole bank's index). `progress` follows the rows."""
    rows, cols, values, pruned = kt.graph_of_blocks(
        list(packed), list(offsets), threshold, alpha, beta, progress=progress
    )
    return rows, cols, values, int(pruned)


def similarity_graph(
    descriptors: list[Any],
    threshold: float,
    alpha: float = DETECTION["alpha"],
    beta: float = DETECTION["beta"],
    runner: Runner | None = None,
    block_size: int = 2000,
    progress: Done | None = None,
) -> Graph:
    """The similarity graph of described formulas, packed in blocks of `block_size` rows and
    measured as `graph_edges` measures them."""
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
    similarities) are those pairs' edges. Only the pairs holding a row not known are measured,
    against every row at once; the graph equals `similarity_graph`'s, and the pairs pruned are
    those of the pairs measured. `packed`, a dict, may hold blocks of `block_size` rows already
    packed (`pack_descriptors`), by block; the blocks packed here are added to it."""
    n = len(descriptors)
    offsets = list(range(0, n, block_size))
    packed = {} if packed is None else packed
    for k, o in enumerate(offsets):
        if k not in packed:
            packed[k] = native_rows.pack(descriptors[o : o + block_size])
    fresh = [not k for k in known]
    new_rows, new_cols, new_values, pruned = kt.graph_of_blocks(
        [packed[k] for k in range(len(offsets))],
        offsets,
        threshold,
        alpha,
        beta,
        fresh=fresh,
        progress=progress,
    )
    rows, cols, values = (np.asarray(a) for a in edges)
    # A known edge stands where both rows are known: no pair of two known rows is measured.
    mask = np.array(known, dtype=bool)
    keep = mask[rows] & mask[cols] if len(rows) else np.zeros(0, dtype=bool)
    parts = [(new_rows, new_cols, new_values), (rows[keep], cols[keep], values[keep])]
    return (*_sorted_edges(parts), int(pruned))
