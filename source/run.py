"""One detection run over a bank: the public stages of ``source._brenmoor`` composed in order,
with every bank row's id carried beside its expression from the first stage to the last.

``detect_structure`` returns candidates whose members are expressions; two rows with the same
formula are then the same object, and which row a member came from is lost. A run keeps rows:
its clusters are lists of row indices and every candidate knows its cluster, so the ids a report
shows are the ids of the rows that formed the structure, on the dense path and on the large
path alike (locally or with Dask, whose workers return copies).

    from source.run import detect
    run = detect(ids, exprs, library)
    for found in run.found:
        print(found.candidate.formula, [run.ids[r] for r in found.rows])
"""
import inspect
import warnings
from dataclasses import dataclass, field

import numpy as np

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the missing-key warning; nothing here uses the model
    from source import _brenmoor as kt


def _defaults(fn):
    return {name: p.default for name, p in inspect.signature(fn).parameters.items()
            if p.default is not inspect.Parameter.empty}


# The settings of a run and their defaults, as the engine declares them: detection's
# thresholds, similarity weights and score weights and scales, and the filter's thresholds.
DETECTION = {k: v for k, v in _defaults(kt.detect_structure).items() if k not in ("var_ranges_bank", "verbose")}
FILTERING = _defaults(kt.filter_candidates)
SCORING = [k for k in DETECTION if k.startswith(("w_", "scale_"))]


@dataclass
class Found:
    """A detected structure: the candidate record, its cluster (an index into `Run.clusters`)
    and the bank rows of that cluster; the known law it is (`match`, a LibraryMatch or None
    for a new structure), and for each row the law that member is (its own match, or the
    structure's where the law is an instance of the formula) and its `bindings` (what each
    wildcard and variable of the formula stands for in it, or None)."""
    candidate: object
    cluster: int
    rows: list
    match: object = None
    member_matches: list = field(default_factory=list)
    bindings: list = field(default_factory=list)


@dataclass
class Run:
    ids: list
    exprs: list
    descriptors: list
    clusters: list                    # lists of row indices, in cluster order
    found: list                       # Found, in cluster order
    result: object                    # the FilterResult of the candidates, or None
    matrix: np.ndarray | None = None  # the dense path's similarity matrix
    graph: tuple | None = None        # the large path's (rows, cols, similarities, pruned)
    library_descriptors: dict = field(default_factory=dict)

    @property
    def candidates(self):
        return [f.candidate for f in self.found]

    def rows_of(self, candidate):
        """The bank rows of a candidate of this run (by identity)."""
        for f in self.found:
            if f.candidate is candidate:
                return f.rows
        raise KeyError("not a candidate of this run")


def _quiet(stage, done, total):
    pass


def _similarity_line(values):
    return (f"similarity \u2014 min={values.min():.4f}  mean={values.mean():.4f}  "
            f"max={values.max():.4f}")


def _rows_by_descriptor(descriptors, clusters):
    row = {id(d): i for i, d in enumerate(descriptors)}
    return [[row[id(d)] for d in cluster] for cluster in clusters]


def match_library(found, exprs, library, progress=_quiet, near_threshold=None):
    """Fills the library verdicts and bindings of every structure and member."""
    near = {} if near_threshold is None else {"near_threshold": near_threshold}
    own = {}  # each distinct member expression's own match
    for k, f in enumerate(found):
        f.match = kt.match_library(f.candidate, library, **near)
        inherited = f.match if f.match is not None and f.match.kind == "instance" else None
        f.member_matches, f.bindings = [], []
        for r in f.rows:
            e = exprs[r]
            if e not in own:
                own[e] = kt.match_library(e, library, **near)
            f.member_matches.append(own[e] or inherited)
            f.bindings.append(kt.bind(f.candidate.formula, e))
        progress("matching the library", k + 1, len(found))


def detect(ids, exprs, library, ranges=None, *, large=False, client=None, block_size=2000, verbose=True,
           progress=None, filter=True, near_threshold=None, seed=None, **settings):
    """Describe, cluster, generalise, score and filter a bank; the stages and numbers are those
    of ``detect_structure`` and ``filter_candidates`` with the same `settings` (their keyword
    names: `sim_threshold`, `alpha`, `w_structural`, `min_members`, `novel_threshold`, ...).

    `ids` and `exprs` are parallel lists, `ranges` None or one range dict per row.
    `progress(stage, done, total)` is called as work advances. `large` (or a Dask `client`)
    clusters on the similarity graph instead of the dense matrix. Without `filter` the run's
    `result` is None. A `seed` seeds numpy's global generator first, from which the behaviour
    descriptors draw their sensitivity figures.
    """
    unknown = set(settings) - set(DETECTION) - set(FILTERING)
    if unknown:
        raise TypeError(f"unknown settings: {', '.join(sorted(unknown))}")
    opts = {**DETECTION, **FILTERING, **settings}
    if seed is not None:
        np.random.seed(seed)
    from source import large as sparse
    if len(ids) != len(exprs) or (ranges is not None and len(ranges) != len(exprs)):
        raise ValueError("ids, expressions and ranges must have the same length")
    progress = progress or _quiet
    n = len(exprs)
    descriptors = []
    for i, e in enumerate(exprs):
        descriptors.append(kt.describe(e, var_ranges=ranges[i] if ranges else None))
        progress("describing", i + 1, n)
    matrix = graph = None
    if large or client is not None:
        graph = sparse.similarity_graph(descriptors, opts["sim_threshold"], opts["alpha"], opts["beta"], client, block_size,
                                        progress=lambda done, total: progress("similarity graph", done, total))
    elif n:
        progress("all pairs", 0, 1)
        matrix = kt.pairwise_matrix(descriptors, alpha=opts["alpha"], beta=opts["beta"])
        progress("all pairs", 1, 1)
    # The library is described after the bank's similarities, as detect_structure does (the
    # behaviour descriptors draw from numpy's global generator in that order).
    lib_descs = {}
    for k, (name, e) in enumerate(library.items()):
        lib_descs[name] = kt.describe(e)
        progress("describing the library", k + 1, len(library))
    if verbose and matrix is not None and n >= 2:
        print(_similarity_line(matrix[np.triu_indices(n, 1)]))
    if matrix is not None:
        clusters = _rows_by_descriptor(descriptors, kt.cluster_by_similarity(descriptors, matrix,
                                                                             threshold=opts["sim_threshold"]))
    elif graph is not None:
        clusters = _rows_by_descriptor(descriptors, kt.cluster_graph(descriptors, graph[0], graph[1]))
    else:
        clusters = []
    scored = sparse.score_clusters([[descriptors[r] for r in c] for c in clusters], library, lib_descs,
                                   n, opts["novelty_threshold"], client,
                                   progress=lambda done, total: progress("scoring", done, total),
                                   weights={k: opts[k] for k in SCORING})
    found = [Found(c, k, clusters[k]) for k, c in enumerate(scored) if c is not None]
    match_library(found, exprs, library, progress, near_threshold)
    candidates = [f.candidate for f in found]
    thresholds = {k: opts[k] for k in FILTERING}
    if not filter:
        result = None
    elif client is not None:
        result = sparse.filter_large(candidates, library, client=client, **thresholds)
    else:
        result = kt.filter_candidates(candidates, library, **thresholds)
    return Run(ids=list(ids), exprs=list(exprs), descriptors=descriptors, clusters=clusters, found=found,
               result=result, matrix=matrix, graph=graph, library_descriptors=lib_descs)
