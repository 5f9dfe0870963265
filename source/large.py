"""Detection for banks too large for a dense similarity matrix.

The bank is described, packed into compact blocks, and the similarity graph (the pairs at or
above the clustering threshold) is computed block by block: on the local cores, or as tasks of
a ``dask.distributed`` client. Clusters come from the graph with the same rule as on the dense
matrix; each cluster is generalised and scored as its own task. The candidates equal those of
``detect_structure`` (default weights) on the same bank, and the filter result those of
``filter_candidates``. ``source.run.detect(..., large=True)`` does the same and keeps the rows
(and so the ids) of every structure.

    from dask.distributed import Client, LocalCluster
    from source import large
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        candidates = large.detect_large(bank, library, client=client)
        result = large.filter_large(candidates, library, client=client)
"""
import warnings

import numpy as np

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from source import _brenmoor as kt
from source.run import DETECTION


def _run(client, fn, jobs, progress=None):
    """fn(*job) for every job, in order: Dask tasks with a client, else here. A task that fails
    raises its exception here; no partial result is returned. `progress(done, total)` follows."""
    total = len(jobs)
    if progress:
        progress(0, total)
    if client is None:
        results = []
        for job in jobs:
            results.append(fn(*job))
            if progress:
                progress(len(results), total)
        return results
    futures = [client.submit(fn, *job, pure=False) for job in jobs]
    if progress:
        from dask.distributed import as_completed
        for done, _ in enumerate(as_completed(futures), start=1):
            progress(done, total)
    return client.gather(futures)


def _block(rows_packed, cols_packed, threshold, alpha, beta, same, row_offset, col_offset):
    rows, cols, values, pruned = kt.graph_block(rows_packed, cols_packed, threshold, alpha, beta, same)
    return rows + row_offset, cols + col_offset, values, pruned


def graph_edges(packed, offsets, threshold, alpha=DETECTION["alpha"], beta=DETECTION["beta"], client=None,
                progress=None):
    """The similarity graph of a bank packed in blocks (`packed[k]` starts at `offsets[k]`):
    rows, cols and similarities of the pairs at or above `threshold`, and the pairs pruned."""
    if client is not None:
        packed = client.scatter(list(packed), broadcast=True, hash=False)
    jobs = [(packed[a], None if a == b else packed[b], threshold, alpha, beta, a == b, offsets[a], offsets[b])
            for a in range(len(offsets)) for b in range(a, len(offsets))]
    parts = _run(client, _block, jobs, progress)
    if not parts:
        empty = np.empty(0, dtype=np.int64)
        return empty, empty, np.empty(0), 0
    rows = np.concatenate([p[0] for p in parts])
    cols = np.concatenate([p[1] for p in parts])
    values = np.concatenate([p[2] for p in parts])
    order = np.lexsort((cols, rows))
    return rows[order], cols[order], values[order], sum(int(p[3]) for p in parts)


def similarity_graph(descriptors, threshold, alpha=DETECTION["alpha"], beta=DETECTION["beta"], client=None,
                     block_size=2000, progress=None):
    """The similarity graph of described formulas, computed in packed blocks."""
    offsets = list(range(0, len(descriptors), block_size))
    packed = [kt.pack_descriptors(descriptors[o:o + block_size]) for o in offsets]
    return graph_edges(packed, offsets, threshold, alpha, beta, client, progress)


def _score_one(cluster, library, lib_descs, bank_size, novelty_threshold, weights):
    return kt._score_cluster(cluster, library, lib_descs, bank_size, novelty_threshold, **weights)


def score_clusters(clusters, library, lib_descs, bank_size, novelty_threshold, client=None, progress=None, weights=None):
    """The account of every cluster (a list of descriptors) as `_score_cluster` gives it: its
    candidate, or None where detection drops it, its generalisation and the terms of its score;
    one task per cluster with a client. `weights`: score weights and scales by keyword."""
    if client is not None:
        library, lib_descs = client.scatter([library, lib_descs], broadcast=True, hash=False)
    return _run(client, _score_one,
                [(c, library, lib_descs, bank_size, novelty_threshold, weights or {}) for c in clusters], progress)


def detect_large(bank, library, var_ranges_bank=None, client=None, block_size=2000, **settings):
    """`detect_structure` (its keyword settings, the same defaults) through the similarity graph."""
    from source.run import detect
    if not bank:
        return []
    pairs = isinstance(bank[0], tuple)
    exprs = [item[1] for item in bank] if pairs else list(bank)
    ids = [item[0] for item in bank] if pairs else list(range(len(bank)))
    run = detect(ids, exprs, library, var_ranges_bank or None, large=True, client=client,
                 block_size=block_size, verbose=False, filter=False, **settings)
    return run.candidates


def filter_large(candidates, library, client=None, progress=None, **thresholds):
    """`filter_candidates`, one task per candidate, merged in candidate order."""
    if client is not None:
        library = client.scatter([library], broadcast=True, hash=False)[0]  # a dict scatters by its keys
    parts = _run(client, _filter_one, [(c, library, thresholds) for c in candidates], progress)
    novel, repeated, discarded = [], [], []
    for c, part in zip(candidates, parts):
        # The task worked on a copy; the result lists the caller's own record.
        if part.novel:
            novel.append(c)
        elif part.repeated:
            repeated.append(c)
        else:
            discarded.append((part.discarded[0][0], c))
    novel.sort(key=lambda c: c.novelty, reverse=True)
    repeated.sort(key=lambda c: c.novelty, reverse=True)
    return kt.FilterResult(novel=novel, repeated=repeated, discarded=discarded)


def _filter_one(candidate, library, thresholds):
    return kt.filter_candidates([candidate], library, **thresholds)
