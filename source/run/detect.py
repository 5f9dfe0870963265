"""One detection run over a bank: the engine's stages composed in order, with every bank row's
id carried beside its expression from the first stage to the last.

``detect_structure`` returns candidates whose members are expressions; two rows with the same
formula are then the same object, and which row a member came from is lost. A run keeps rows:
its clusters are lists of row indices and every candidate knows its cluster, so the ids a report
shows are the ids of the rows that formed the structure, on the dense path and on the large
path alike, wherever the work runs (the runner's workers return copies).

    from source.run.detect import detect
    run = detect(ids, exprs, library)
    for found in run.found:
        print(found.candidate.formula, [run.ids[r] for r in found.rows])
"""

from collections.abc import Sequence
from typing import Any, Protocol

import numpy as np

from source.engine import kt
from source.judge import verdicts
from source.run import native_rows, ranking
from source.run.describe import Bounds, bounds_of, describe_canonical, describe_one
from source.run.filtering import filter_large
from source.run.graph import Graph, dense_matrix, similarity_graph
from source.run.matching import Matched, judge_rows, match_library
from source.run.progress import Progress, quiet
from source.run.results import DescribedExprs, Found, Run
from source.run.runner import InProcess, Runner
from source.run.scoring import dropped_reason, score_clusters
from source.settings import FILTERING, SCORING, Settings


class Earlier(Protocol):
    """What an earlier run already measured of this bank (a kept state's `Reuse`)."""

    graph: Graph | None  # the rows' similarity graph at this run's threshold

    def parts(self, members: Sequence[int]) -> dict[str, Any] | None:
        """A cluster's scoring parts, or None."""

    def known(self, members: Sequence[int], near: float) -> dict[str, Any] | None:
        """What else was measured of a structure of these rows against this library."""

    def verdicts(self, snap: float, threshold: float) -> list[Any]:
        """Each row's verdict made with these settings, or None."""


def _similarity_line(values: np.ndarray) -> str:
    return kt._similarity_line(values)


def _rows_by_descriptor(
    descriptors: Sequence[Any], clusters: Sequence[Sequence[Any]]
) -> list[list[int]]:
    row = {id(d): i for i, d in enumerate(descriptors)}
    return [[row[id(d)] for d in cluster] for cluster in clusters]


def _text_order(exprs: Sequence[Any], texts: Sequence[str | None] | None) -> list[int]:
    # An expression is looked at only where its text is missing: rows read natively build
    # theirs only when asked.
    texts = texts if texts is not None else [None] * len(exprs)
    return ranking.run_order([t if t is not None else str(exprs[r]) for r, t in enumerate(texts)])


def _clusters(
    descriptors: list[Any],
    matrix: np.ndarray | None,
    graph: Graph | None,
    threshold: float,
    order: list[int] | None,
) -> list[list[int]]:
    """The rows' clusters, offered to the greedy clustering in `order` (else in row order)."""
    if matrix is None and graph is None:
        return []
    if order is None:
        order = list(range(len(descriptors)))
    seen = [descriptors[r] for r in order]
    if matrix is not None:
        # a reordered copy: the run's matrix stays in row order (the dense path budgets for a
        # second matrix, which it needs while the first is built)
        ordered = matrix if order == sorted(order) else matrix[np.ix_(order, order)]
        found = kt.cluster_by_similarity(seen, ordered, threshold=threshold)
    else:
        assert graph is not None
        place = np.empty(len(order), dtype=np.int64)
        place[np.asarray(order, dtype=np.int64)] = np.arange(len(order), dtype=np.int64)
        rows, cols = np.asarray(graph[0], dtype=np.int64), np.asarray(graph[1], dtype=np.int64)
        found = kt.cluster_graph(seen, place[rows], place[cols])
    return _rows_by_descriptor(descriptors, found)


def _described(
    exprs: Sequence[Any],
    ranges: Sequence[Any] | None,
    bounds: Sequence[Bounds | None],
    settings: Settings,
    progress: Progress,
) -> list[Any]:
    n = len(exprs)
    descriptors = []
    progress("describing", 0, n)
    for i, e in enumerate(exprs):
        descriptors.append(
            describe_canonical(e, bounds[i], settings.seed, snap=settings.snap)
            if settings.canonical_forms
            else describe_one(e, ranges[i] if ranges else None, settings.seed)
        )
        progress("describing", i + 1, n)
    return descriptors


def detect(
    ids: Sequence[Any],
    exprs: Sequence[Any],
    library: dict[str, Any],
    ranges: Sequence[dict[int, Any] | None] | None = None,
    *,
    bounds: Sequence[Bounds | None] | None = None,
    descriptors: list[Any] | None = None,
    texts: Sequence[str | None] | None = None,
    settings: Settings | None = None,
    runner: Runner | None = None,
    progress: Progress = quiet,
    earlier: Earlier | None = None,
    origins: Sequence[Any] | None = None,
    judged: bool = False,
    **chosen: Any,
) -> Run:
    """Describe, cluster, generalise, score, filter and judge a bank; the stages and numbers are
    those of ``detect_structure`` and ``filter_candidates`` with the same settings (`settings`,
    or the keywords `chosen` of `source.settings`: `sim_threshold`, `alpha`, `min_members`,
    `seed`, `large`, ...).

    `ids` and `exprs` are parallel lists (`exprs` may be the `DescribedExprs` of `descriptors`),
    `ranges` None or one range dict per row (by variable index); `bounds`, each row's ranges by
    name (else taken from `ranges`), are where each formula is judged against the library;
    `descriptors`, when given, are the rows' descriptors already made (`describe_rows`), and
    `texts` the rows' formulas as printed where known. `earlier` gives what an earlier run
    measured (a kept state's `Reuse`); `origins`, each row's `files.Origin` (its file and run);
    `judged`, that the rows read natively were judged against this library and settings as
    they were read (`describe_rows` with `judging`).
    The work runs on `runner` (here by default); `progress` follows it.

    With the `canonical_forms` setting rows are described by their canonical forms and the
    wildcards of one sum or product in a generalisation are merged, as the command line does;
    structures of a single variable are left out and the rest ranked (`ranking`).
    `large` clusters on the similarity graph instead of the dense matrix. Without `filter` the
    run's `result` is None. Without a `seed` the behaviour descriptors draw their sensitivity
    figures from numpy's global generator as it stands (as `detect_structure` does); with one,
    each formula's figures are seeded by the seed and the formula, the same in every run.
    """
    settings = settings.replace(**chosen) if settings is not None else Settings(**chosen)
    runner = runner or InProcess()
    if (
        len(ids) != len(exprs)
        or (ranges is not None and len(ranges) != len(exprs))
        or (descriptors is not None and len(descriptors) != len(exprs))
    ):
        raise ValueError("ids, expressions, ranges and descriptors must have the same length")
    n = len(exprs)
    bounds = bounds if bounds is not None else bounds_of(exprs, ranges)
    if descriptors is None:
        descriptors = _described(exprs, ranges, bounds, settings, progress)
    matrix = None
    graph = earlier.graph if earlier is not None else None
    if graph is None and settings.large:
        graph = similarity_graph(
            descriptors,
            settings.sim_threshold,
            settings.alpha,
            settings.beta,
            runner,
            settings.block_size,
            progress=lambda done, total: progress("similarity graph", done, total),
        )
    elif graph is None and n:
        matrix = dense_matrix(descriptors, settings.alpha, settings.beta, progress)
    # The library is described after the bank's similarities, as detect_structure does (the
    # behaviour descriptors draw from numpy's global generator in that order).
    lib_descs = {}
    progress("describing the library", 0, len(library))
    for k, (name, e) in enumerate(library.items()):
        lib_descs[name] = describe_one(e, None, settings.seed)
        progress("describing the library", k + 1, len(library))
    if settings.verbose and matrix is not None and n >= 2:
        print(_similarity_line(matrix[np.triu_indices(n, 1)]))
    progress("clustering", 0, 1)
    clusters = _clusters(
        descriptors,
        matrix,
        graph,
        settings.sim_threshold,
        _text_order(exprs, texts) if settings.canonical_forms else None,
    )
    progress("clustering", 1, 1)
    # A single formula generalises into nothing: only larger clusters are scored.
    left_out = {}
    scorable = []
    for k, c in enumerate(clusters):
        if len(c) == 1:
            left_out[c[0]] = "single formula: it joined no structure"
        else:
            scorable.append(k)
    weights = {
        **{k: settings[k] for k in SCORING},
        "max_wildcard_density": settings.max_wildcard_density,
        "merge_wildcards": settings.canonical_forms,
    }
    scored = score_clusters(
        [[descriptors[r] for r in clusters[k]] for k in scorable],
        library,
        lib_descs,
        n,
        settings.novelty_threshold,
        runner,
        progress=lambda done, total: progress("scoring", done, total),
        weights=weights,
        parts=[earlier.parts(clusters[k]) for k in scorable] if earlier else None,
    )
    found = []
    accounts = {}
    for k, account in zip(scorable, scored):
        accounts[k] = account["parts"]
        if account["candidate"] is not None:
            found.append(
                Found(
                    account["candidate"],
                    k,
                    clusters[k],
                    terms=account["terms"],
                    formula_text=account.get("text"),
                )
            )
        else:
            reason = dropped_reason(account, settings.novelty_threshold)
            left_out.update((r, reason) for r in clusters[k])
    if settings.canonical_forms:
        trivial = [f for f in found if ranking.is_trivial(f.candidate.formula)]
        # dropped by identity: comparing Found records compares their sympy formulas
        gone = {id(f) for f in trivial}
        found = [f for f in found if id(f) not in gone]
        for f in trivial:
            left_out.update((r, ranking.TRIVIAL_REASON) for r in f.rows)
    near = settings.near_threshold
    prior = [(earlier.known(f.rows, near) if earlier else None) or {} for f in found]
    for f, e in zip(found, prior):
        if f.formula_text is None:
            f.formula_text = e.get("text")
    kept_matches: list[Matched | None] = [e.get("match") for e in prior]
    match_library(
        found,
        exprs,
        library,
        progress,
        settings.chosen.get("near_threshold"),
        runner,
        kept=kept_matches,
        bounds=bounds,
        snap=settings.snap,
        # the trees of rows read natively hold canonical cores made with these bounds and snap
        # only where the rows were read for this run (`judged`)
        descriptors=descriptors if judged else None,
    )
    distances = [e.get("composition") for e in prior]
    result = (
        filter_large(
            [f.candidate for f in found],
            library,
            runner,
            progress=lambda done, total: progress("filtering", done, total),
            distances=distances,
            **{k: settings[k] for k in FILTERING},
        )
        if settings.filter
        else None
    )
    known = earlier.verdicts(settings.snap, settings.fit_threshold) if earlier else None
    if judged:
        # Rows read natively were judged as they were read, against this library.
        known = [
            k if k is not None else native_rows.verdict_of(d)
            for k, d in zip(known or [None] * n, descriptors)
        ]
    row_verdicts = judge_rows(
        exprs,
        bounds,
        library,
        settings.snap,
        settings.fit_threshold,
        runner,
        progress,
        known=known,
    )
    for f in found:
        f.verdict = verdicts.structure_verdict([row_verdicts[r] for r in f.rows])
    if settings.canonical_forms:
        ranking.rank(found, descriptors, origins)
    return Run(
        ids=list(ids),
        exprs=exprs if isinstance(exprs, DescribedExprs) else list(exprs),
        descriptors=list(descriptors),
        clusters=clusters,
        found=found,
        result=result,
        matrix=matrix,
        graph=graph,
        library_descriptors=lib_descs,
        left_out=left_out,
        accounts=accounts,
        texts=list(texts) if texts is not None else None,
        compositions={f.cluster: d for f, d in zip(found, distances) if d is not None},
        settings=settings.measured(),
        verdicts=row_verdicts,
        origins=list(origins) if origins is not None else None,
    )


def detect_large(
    bank: Sequence[Any],
    library: dict[str, Any],
    var_ranges_bank: Sequence[Any] | None = None,
    runner: Runner | None = None,
    block_size: int = 2000,
    **chosen: Any,
) -> list[Any]:
    """`detect_structure` (its keyword settings, the same defaults) through the similarity graph."""
    if not bank:
        return []
    pairs = isinstance(bank[0], tuple)
    exprs = [item[1] for item in bank] if pairs else list(bank)
    ids = [item[0] for item in bank] if pairs else list(range(len(bank)))
    run = detect(
        ids,
        exprs,
        library,
        var_ranges_bank or None,
        runner=runner,
        large=True,
        block_size=block_size,
        verbose=False,
        filter=False,
        **chosen,
    )
    return run.candidates
