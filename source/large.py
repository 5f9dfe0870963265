"""Detection for banks too large for a dense similarity matrix.

The bank is described, packed into compact blocks, and the similarity graph (the pairs at or
above the clustering threshold) is computed block by block: on the local cores, or as tasks of
a ``dask.distributed`` client. Clusters come from the graph with the same rule as on the dense
matrix; clusters are generalised and scored as tasks. The candidates equal those of
``detect_structure`` (default weights) on the same bank, and the filter result those of
``filter_candidates``. ``source.run.detect(..., large=True)`` does the same and keeps the rows
(and so the ids) of every structure.

    from dask.distributed import Client, LocalCluster
    from source import large
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        candidates = large.detect_large(bank, library, client=client)
        result = large.filter_large(candidates, library, client=client)
"""
import io
import pickle
import warnings

import numpy as np
import sympy as sp

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from source import _brenmoor as kt
from source import exprcode
from source.run import DETECTION


class _Pickler(pickle.Pickler):
    """Pickles sympy expressions as their `exprcode` tokens: built again without evaluating, they
    load several times faster than sympy's own pickles, which evaluate every node again. An
    expression the code does not write exactly is pickled as sympy pickles it."""

    def reducer_override(self, obj):
        if isinstance(obj, sp.Basic) and obj.args:
            tokens = exprcode.encode(obj)
            if tokens is not None:
                return exprcode.decode, (tokens,)
        return NotImplemented


def _dumps(obj):
    buffer = io.BytesIO()
    _Pickler(buffer, protocol=pickle.HIGHEST_PROTOCOL).dump(obj)
    return buffer.getvalue()


def _each(fn, shared, jobs):
    """A worker's run of jobs: the jobs and their results travel as `_dumps` bytes."""
    return _dumps([fn(*shared, *job) for job in pickle.loads(jobs)])


def _run(client, fn, jobs, progress=None, light=False, shared=()):
    """fn(*shared, *job) for every job, in order: Dask tasks with a client, else here. A task
    that fails raises its exception here; no partial result is returned. `progress(done,
    total)` follows. With a client, `shared` goes to every worker once. `light` jobs (a
    cluster, a structure) go in runs of several, about sixteen per worker, so that the
    scheduler's cost per task does not outweigh the work."""
    total = len(jobs)
    if progress:
        progress(0, total)
    if client is None:
        results = []
        for job in jobs:
            results.append(fn(*shared, *job))
            if progress:
                progress(len(results), total)
        return results
    if not jobs:
        return []
    size = 1
    if light:
        workers = max(1, len(client.scheduler_info().get("workers", ())))
        size = max(1, -(-total // (16 * workers)))
    runs = [jobs[k:k + size] for k in range(0, total, size)]
    on_workers = client.scatter([tuple(shared)], broadcast=True, hash=False)[0]
    futures = [client.submit(_each, fn, on_workers, _dumps(run), pure=False) for run in runs]
    from dask.distributed import as_completed
    index = {future.key: k for k, future in enumerate(futures)}
    parts, done = [None] * len(runs), 0
    # Each run's results are read as it arrives, while the workers go on with the others.
    for future, part in as_completed(futures, with_results=True):
        k = index[future.key]
        parts[k] = pickle.loads(part)
        done += len(runs[k])
        if progress:
            progress(done, total)
    return [result for part in parts for result in part]


def _block(packed, a, b, threshold, alpha, beta, row_offset, col_offset):
    rows, cols, values, pruned = kt.graph_block(packed[a], None if a == b else packed[b], threshold, alpha, beta,
                                                a == b)
    return rows + row_offset, cols + col_offset, values, pruned


def _edges_of_pairs(packed, offsets, pairs, threshold, alpha, beta, client, progress):
    """The edges of the block pairs (a, b), a <= b, of a bank packed in blocks (`packed[k]`
    starts at `offsets[k]`), each measured from the earlier row to the later; and the pairs pruned."""
    jobs = [(a, b, threshold, alpha, beta, offsets[a], offsets[b]) for a, b in pairs]
    parts = _run(client, _block, jobs, progress, shared=(list(packed),))
    if not parts:
        empty = np.empty(0, dtype=np.int64)
        return [(empty, empty, np.empty(0))], 0
    return [p[:3] for p in parts], sum(int(p[3]) for p in parts)


def _sorted_edges(parts):
    rows = np.concatenate([p[0] for p in parts]).astype(np.int64, copy=False)
    cols = np.concatenate([p[1] for p in parts]).astype(np.int64, copy=False)
    values = np.concatenate([p[2] for p in parts]).astype(np.float64, copy=False)
    order = np.lexsort((cols, rows))
    return rows[order], cols[order], values[order]


def graph_edges(packed, offsets, threshold, alpha=DETECTION["alpha"], beta=DETECTION["beta"], client=None,
                progress=None):
    """The similarity graph of a bank packed in blocks (`packed[k]` starts at `offsets[k]`):
    rows, cols and similarities of the pairs at or above `threshold`, and the pairs pruned."""
    pairs = [(a, b) for a in range(len(offsets)) for b in range(a, len(offsets))]
    parts, pruned = _edges_of_pairs(packed, offsets, pairs, threshold, alpha, beta, client, progress)
    return (*_sorted_edges(parts), pruned)


def similarity_graph(descriptors, threshold, alpha=DETECTION["alpha"], beta=DETECTION["beta"], client=None,
                     block_size=2000, progress=None):
    """The similarity graph of described formulas, computed in packed blocks."""
    offsets = list(range(0, len(descriptors), block_size))
    packed = [kt.pack_descriptors(descriptors[o:o + block_size]) for o in offsets]
    return graph_edges(packed, offsets, threshold, alpha, beta, client, progress)


def extend_graph(descriptors, known, edges, threshold, alpha=DETECTION["alpha"], beta=DETECTION["beta"],
                 client=None, block_size=500, progress=None, packed=None):
    """The similarity graph of described formulas of which some pairs are known already: `known`
    tells for every row whether its pairs with the other known rows are, `edges` (rows, cols,
    similarities) are those pairs' edges. The rows are cut into blocks, and only the block pairs
    that hold a row not known are measured; the graph equals `similarity_graph`'s. `packed`, a
    dict, may hold blocks already packed (`pack_descriptors`), by block; the blocks packed here
    are added to it."""
    n = len(descriptors)
    offsets = list(range(0, n, block_size))
    fresh = [not all(known[o:o + block_size]) for o in offsets]
    pairs = [(a, b) for a in range(len(offsets)) for b in range(a, len(offsets)) if fresh[a] or fresh[b]]
    used = sorted({k for pair in pairs for k in pair})
    packed = {} if packed is None else packed
    for k in used:
        if k not in packed:
            packed[k] = kt.pack_descriptors(descriptors[offsets[k]:offsets[k] + block_size])
    order = {k: i for i, k in enumerate(used)}
    parts, pruned = _edges_of_pairs([packed[k] for k in used], [offsets[k] for k in used],
                                    [(order[a], order[b]) for a, b in pairs], threshold, alpha, beta, client,
                                    progress)
    rows, cols, values = (np.asarray(a) for a in edges)
    # A known edge stands where its block pair was not measured again.
    stale = np.array(fresh, dtype=bool)
    keep = ~(stale[rows // block_size] | stale[cols // block_size]) if len(rows) else np.zeros(0, dtype=bool)
    parts.append((rows[keep], cols[keep], values[keep]))
    return (*_sorted_edges(parts), pruned)


def _score_one(library, lib_descs, cluster, bank_size, novelty_threshold, weights, parts=None):
    return kt._score_cluster(cluster, library, lib_descs, bank_size, novelty_threshold, **weights, parts=parts)


def _score_printed(library, lib_descs, cluster, *job):
    """`_score_one`, with its candidate's formula printed where it is made ("text"), the
    reports' text, printed once; and with the cluster's cohesion in its parts, which give its
    recurrence in a grown bank without its trees."""
    account = _score_one(library, lib_descs, cluster, *job)
    if account["candidate"] is not None:
        account["text"] = str(account["candidate"].formula)
    if account["parts"]["kept"] and "cohesion" not in account["parts"]:
        account["parts"]["cohesion"] = kt._cluster_cohesion(cluster)
    return account


def score_clusters(clusters, library, lib_descs, bank_size, novelty_threshold, client=None, progress=None, weights=None,
                   parts=None):
    """The account of every cluster (a list of descriptors) as `_score_cluster` gives it: its
    candidate, or None where detection drops it, its generalisation and the terms of its score;
    as Dask tasks with a client. `weights`: score weights and scales by keyword; `parts`:
    for every cluster its parts from an earlier account, or None."""
    parts = parts or [None] * len(clusters)
    known = [k for k, p in enumerate(parts) if p is not None]
    accounts = [None] * len(clusters)
    if progress:
        progress(0, len(clusters))
    # Clusters whose parts are known are scored here: it takes no measuring.
    for k in known:
        accounts[k] = _score_one(library, lib_descs, clusters[k], bank_size, novelty_threshold, weights or {}, parts[k])
    rest = [k for k, p in enumerate(parts) if p is None]
    done = _run(client, _score_printed, [(clusters[k], bank_size, novelty_threshold, weights or {}) for k in rest],
                progress and (lambda done, total: progress(len(known) + done, len(clusters))), light=True,
                shared=(library, lib_descs))
    for k, account in zip(rest, done):
        accounts[k] = account
    return accounts


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


_FILTER_KEYWORDS = ("min_members", "novel_threshold", "repeated_threshold", "composition_threshold",
                    "max_wildcard_density")


def filter_large(candidates, library, client=None, progress=None, distances=None, **thresholds):
    """`filter_candidates` with the one costly measure, each candidate's distance to the sums
    and products of two library expressions, taken in runs (tasks with a client): the same
    result. `distances`, when given, holds one entry per candidate, that distance where an
    earlier run measured it (against the same library) or None; the entries measured here are
    filled in."""
    kt.filter_candidates([], library, **thresholds)  # the same errors for bad thresholds
    t = {**dict(zip(_FILTER_KEYWORDS, kt.filter_candidates.__defaults__)), **thresholds}
    early = [_early_verdict(c, t) for c in candidates]
    if distances is None:
        distances = [None] * len(candidates)
    need = [i for i, (v, d) in enumerate(zip(early, distances)) if v is None and d is None]
    runs = [need[k:k + _FILTER_RUN] for k in range(0, len(need), _FILTER_RUN)]
    measured = _run(client, _distances_of, [([candidates[i].formula for i in run],) for run in runs], progress,
                    light=True, shared=(library,))
    for run, values in zip(runs, measured):
        for i, value in zip(run, values):
            distances[i] = value
    novel, repeated, discarded = [], [], []
    threshold, novel_at, repeated_at = (float(t[k]) for k in ("composition_threshold", "novel_threshold",
                                                                "repeated_threshold"))
    for c, verdict, distance in zip(candidates, early, distances):
        if verdict is None and distance < threshold:
            verdict = "already expressible"
        if verdict is not None:
            discarded.append((verdict, c))
        elif c.novelty >= novel_at:
            novel.append(c)
        elif c.novelty >= repeated_at:
            repeated.append(c)
        else:
            discarded.append(("novelty too low", c))
    novel.sort(key=lambda c: c.novelty, reverse=True)
    repeated.sort(key=lambda c: c.novelty, reverse=True)
    return kt.FilterResult(novel=novel, repeated=repeated, discarded=discarded)


def _early_verdict(c, t):
    """The filter's tests that come before the composition distance: why the candidate is
    discarded, or None when it reaches that test."""
    if len(c.members) < t["min_members"]:
        return "too few members (not recurring)"
    if kt._is_wildcard(c.formula):
        return "bare wildcard"
    density = kt._wildcard_density(c.formula)
    if density > float(t["max_wildcard_density"]):
        return f"too generic (wildcard density {density:.2f})"
    return None


# Formulas measured by one call: the library's sums and products are built once for them.
_FILTER_RUN = 32


def _distances_of(library, formulas):
    return kt._composition_distances(list(formulas), library)
