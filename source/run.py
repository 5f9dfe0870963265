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
import dataclasses
import hashlib
import inspect
import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np

from source import canonical, verdicts
from source.canonical import SNAP_TOLERANCE
from source.law_fit import R2_THRESHOLD

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
    binding_texts: list = field(default_factory=list)  # each member's bindings as printed ({str: str}), or None
    terms: dict = field(default_factory=dict)  # the score's weighted terms by name; they add up to it
    formula_text: str | None = None  # the candidate's formula as printed, where known (`shown`)
    verdict: object = None  # the StructureVerdict its members' verdicts make

    def shown(self):
        """The candidate's formula as printed (str), made once."""
        if self.formula_text is None:
            self.formula_text = str(self.candidate.formula)
        return self.formula_text


class DescribedExprs(Sequence):
    """The rows' expressions as their descriptors hold them (`numeric_expr`), read when looked
    at: descriptors kept from an earlier run build their expressions only when asked."""

    def __init__(self, descriptors):
        self.descriptors = descriptors

    def __len__(self):
        return len(self.descriptors)

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [d.numeric_expr for d in self.descriptors[i]]
        return self.descriptors[i].numeric_expr


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
    left_out: dict = field(default_factory=dict)  # row -> why it is in no structure
    accounts: dict = field(default_factory=dict)  # cluster -> its scoring parts (`_score_cluster`)
    settings: dict = field(default_factory=dict)  # every setting the run used, by keyword
    texts: list | None = None         # each row's formula as printed, where known (`text`)
    compositions: dict = field(default_factory=dict)  # cluster -> the filter's composition distance
    verdicts: list = field(default_factory=list)  # each row's Verdict: a known law or new

    def text(self, r):
        """Row r's formula as printed (str), made once."""
        if self.texts is None:
            self.texts = [None] * len(self.exprs)
        if self.texts[r] is None:
            self.texts[r] = str(self.exprs[r])
        return self.texts[r]

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


def _dense_matrix(descriptors, alpha, beta, progress, block=150):
    """`pairwise_matrix(descriptors, alpha=alpha, beta=beta)`, computed in blocks of the
    similarity graph with no threshold so that the work can report its progress: the same
    numbers (the graph's similarities are the matrix's). Descriptors of other shapes than
    `describe` makes take `pairwise_matrix` itself."""
    n = len(descriptors)
    try:
        packed = [kt.pack_descriptors(descriptors[o:o + block]) for o in range(0, n, block)]
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
            rows, cols, values, _ = kt.graph_block(packed[a], None if a == b else packed[b], -math.inf,
                                                   alpha, beta, a == b)
            rows, cols = rows + a * block, cols + b * block
            matrix[rows, cols] = values
            matrix[cols, rows] = values
            done += len(values)
            progress("all pairs", done, total)
    for i, d in enumerate(descriptors):
        matrix[i, i] = kt.similarity(d, d, alpha, beta)
    progress("all pairs", total, total)
    return matrix


def _rows_by_descriptor(descriptors, clusters):
    row = {id(d): i for i, d in enumerate(descriptors)}
    return [[row[id(d)] for d in cluster] for cluster in clusters]


def _match_structure(library, candidate, members, near, bounds=None, snap=SNAP_TOLERANCE):
    """The verdict on one structure, and for each member its own verdict (or the structure's,
    where the law is an instance of the formula), its bindings and their printed texts. A
    member that is no instance of the formula as written is bound in its canonical form (with
    its ranges `bounds`), from which a formula of canonical forms was generalised."""
    match = kt.match_library(candidate, library, **near)
    inherited = match if match is not None and match.kind == "instance" else None
    own, member_matches, bindings = {}, [], []
    for k, e in enumerate(members):
        if e not in own:
            own[e] = kt.match_library(e, library, **near)
        member_matches.append(own[e] or inherited)
        bound = kt.bind(candidate.formula, e)
        if bound is None:
            core = canonical.of(e, bounds[k] if bounds else None, snap).core
            bound = kt.bind(candidate.formula, core) if core != e else None
        bindings.append(bound)
    texts = [None if b is None else {str(k): str(v) for k, v in b.items()} for b in bindings]
    return match, member_matches, bindings, texts


def match_library(found, exprs, library, progress=_quiet, near_threshold=None, client=None, kept=None, bounds=None,
                  snap=SNAP_TOLERANCE):
    """Fills the library verdicts and bindings of every structure and member: here, or as tasks
    of a Dask `client`. `kept`, when given, holds for each structure its (match, member_matches,
    bindings, binding_texts) from an earlier run with this library and near threshold, or None."""
    from source import large as sparse
    near = {} if near_threshold is None else {"near_threshold": near_threshold}
    kept = kept or [None] * len(found)
    todo = [f for f, k in zip(found, kept) if k is None]
    jobs = [(f.candidate, [exprs[r] for r in f.rows], near, [bounds[r] for r in f.rows] if bounds else None, snap)
            for f in todo]
    outcomes = iter(sparse._run(client, _match_structure, jobs,
                                lambda done, total: progress("matching the library", done, total), light=True,
                                shared=(library,)))
    for f, k in zip(found, kept):
        f.match, f.member_matches, f.bindings, f.binding_texts = k if k is not None else next(outcomes)


def formula_seed(seed, expr, text=None):
    """numpy's seed for describing one formula: the run's seed and the formula's own text
    (`text`, str(expr) when not given), so that a formula's figures are the same whatever else
    the bank holds and in whatever order."""
    text = str(expr) if text is None else text
    digest = hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return [seed, int.from_bytes(digest[:4], "little"), int.from_bytes(digest[4:], "little")]


def describe_one(expr, ranges=None, seed=None, text=None):
    """`describe(expr, var_ranges=ranges)`, seeded for this formula when a seed is given
    (`text`: str(expr), when already printed)."""
    if seed is not None:
        np.random.seed(formula_seed(seed, expr, text))
    return kt.describe(expr, var_ranges=ranges)


def _bounds_of(exprs, ranges):
    """Each row's ranges by variable name, from ranges by index (None: none)."""
    if ranges is None:
        return [None] * len(exprs)
    out = []
    for e, r in zip(exprs, ranges):
        names = [str(s) for s in sorted(e.free_symbols, key=str)] if r else []
        out.append({names[i]: tuple(v) for i, v in r.items() if 0 <= i < len(names)} if r else None)
    return out


def judge_rows(exprs, bounds, library, snap=SNAP_TOLERANCE, threshold=R2_THRESHOLD, client=None,
               progress=_quiet, block=200, known=None):
    """Every row's verdict (`verdicts.Verdict`), here or as tasks of a Dask `client`, in blocks;
    `known[i]`, where given and not None, is row i's verdict already made."""
    out = list(known) if known is not None else [None] * len(exprs)
    todo = [i for i, v in enumerate(out) if v is None]
    jobs = [([(exprs[i], bounds[i]) for i in todo[o:o + block]],) for o in range(0, len(todo), block)]
    from source import large as sparse
    parts = sparse._run(client, verdicts.judge_block, jobs, lambda done, total: progress("judging every formula", done, total),
                        shared=(library, snap, threshold))
    for i, v in zip(todo, (v for part in parts for v in part)):
        out[i] = v
    return out


def describe_canonical(expr, bounds=None, seed=None, text=None, snap=SNAP_TOLERANCE):
    """A row's descriptor as clustering compares it: its canonical numeric form described (an
    engine's variants of one law, each with its own intercept, scale and noise terms, then look
    alike), with the row's own expression as `numeric_expr`, which members and verdicts show.
    `bounds`: the row's ranges by variable name, or None."""
    core = canonical.of(expr, bounds, snap).core
    names = sorted(str(s) for s in core.free_symbols)
    ranges = {i: tuple(bounds[n]) for i, n in enumerate(names) if n in bounds} if bounds else None
    if core == expr:
        return describe_one(expr, ranges or None, seed, text)
    return dataclasses.replace(describe_one(core, ranges or None, seed), numeric_expr=expr)


def detect(ids, exprs, library, ranges=None, *, large=False, client=None, block_size=2000, verbose=True,
           progress=None, filter=True, near_threshold=None, seed=None, descriptors=None, graph=None,
           parts=None, texts=None, known=None, bounds=None, snap=SNAP_TOLERANCE, fit_threshold=R2_THRESHOLD,
           canonical_forms=False, kept_verdicts=None, **settings):
    """Describe, cluster, generalise, score and filter a bank; the stages and numbers are those
    of ``detect_structure`` and ``filter_candidates`` with the same `settings` (their keyword
    names: `sim_threshold`, `alpha`, `w_structural`, `min_members`, `novel_threshold`, ...).

    `ids` and `exprs` are parallel lists (`exprs` may be the `DescribedExprs` of `descriptors`),
    `ranges` None or one range dict per row;
    `descriptors`, when given, are the rows' descriptors already made (`describe_rows`), and
    `graph` their similarity graph at the run's threshold (rows, cols, similarities, pruned);
    `parts(rows)`, when given, tells a cluster's scoring parts from an earlier run, or None;
    `texts`, the rows' formulas as printed where they are known (else None); `known(rows,
    near_threshold)`, when given, tells what else an earlier run measured of a structure of
    these rows against this library (`state.Kept.known`), or None.
    `bounds`, each row's variable ranges by name (else taken from `ranges`), are where each
    formula is judged against the library (`verdicts`), with `snap` and `fit_threshold`. With
    `canonical_forms`, rows are described by their canonical forms (`describe_canonical`) and
    the wildcards of one sum or product in a generalisation are merged (`_merge_wildcards`), as
    the command line does; without, rows are described and generalised as `detect_structure` does.
    `kept_verdicts[i]`, where given and not None, is row i's verdict from an earlier run with this
    library and these settings (`state.Reuse.verdicts`).
    `progress(stage, done, total)` is called as work advances. `large` (or a Dask `client`)
    clusters on the similarity graph instead of the dense matrix. Without `filter` the run's
    `result` is None. Without a `seed` the behaviour descriptors draw their sensitivity figures
    from numpy's global generator as it stands (as `detect_structure` does); with one, each
    formula's figures are seeded by the seed and the formula, the same in every run.
    """
    unknown = set(settings) - set(DETECTION) - set(FILTERING)
    if unknown:
        raise TypeError(f"unknown settings: {', '.join(sorted(unknown))}")
    opts = {**DETECTION, **FILTERING, **settings}
    from source import large as sparse
    if len(ids) != len(exprs) or (ranges is not None and len(ranges) != len(exprs)) or \
            (descriptors is not None and len(descriptors) != len(exprs)):
        raise ValueError("ids, expressions, ranges and descriptors must have the same length")
    progress = progress or _quiet
    n = len(exprs)
    bounds = bounds if bounds is not None else _bounds_of(exprs, ranges)
    if descriptors is None:
        descriptors = []
        progress("describing", 0, n)
        for i, e in enumerate(exprs):
            descriptors.append(describe_canonical(e, bounds[i], seed, snap=snap) if canonical_forms
                               else describe_one(e, ranges[i] if ranges else None, seed))
            progress("describing", i + 1, n)
    matrix = None
    if graph is None and (large or client is not None):
        graph = sparse.similarity_graph(descriptors, opts["sim_threshold"], opts["alpha"], opts["beta"], client, block_size,
                                        progress=lambda done, total: progress("similarity graph", done, total))
    elif graph is None and n:
        matrix = _dense_matrix(descriptors, opts["alpha"], opts["beta"], progress)
    # The library is described after the bank's similarities, as detect_structure does (the
    # behaviour descriptors draw from numpy's global generator in that order).
    lib_descs = {}
    progress("describing the library", 0, len(library))
    for k, (name, e) in enumerate(library.items()):
        lib_descs[name] = describe_one(e, None, seed)
        progress("describing the library", k + 1, len(library))
    if verbose and matrix is not None and n >= 2:
        print(_similarity_line(matrix[np.triu_indices(n, 1)]))
    progress("clustering", 0, 1)
    if matrix is not None:
        clusters = _rows_by_descriptor(descriptors, kt.cluster_by_similarity(descriptors, matrix,
                                                                             threshold=opts["sim_threshold"]))
    elif graph is not None:
        clusters = _rows_by_descriptor(descriptors, kt.cluster_graph(descriptors, graph[0], graph[1]))
    else:
        clusters = []
    progress("clustering", 1, 1)
    # A single formula generalises into nothing: only larger clusters are scored.
    left_out = {}
    scorable = []
    for k, c in enumerate(clusters):
        if len(c) == 1:
            left_out[c[0]] = "single formula: it joined no structure"
        else:
            scorable.append(k)
    scored = sparse.score_clusters([[descriptors[r] for r in clusters[k]] for k in scorable], library, lib_descs,
                                   n, opts["novelty_threshold"], client,
                                   progress=lambda done, total: progress("scoring", done, total),
                                   weights={**{k: opts[k] for k in SCORING},
                                            "max_wildcard_density": opts["max_wildcard_density"],
                                            "merge_wildcards": canonical_forms},
                                   parts=[parts(clusters[k]) for k in scorable] if parts else None)
    found = []
    accounts = {}
    for k, account in zip(scorable, scored):
        accounts[k] = account["parts"]
        if account["candidate"] is not None:
            found.append(Found(account["candidate"], k, clusters[k], terms=account["terms"],
                               formula_text=account.get("text")))
        else:
            reason = _dropped_reason(account, opts["novelty_threshold"])
            left_out.update((r, reason) for r in clusters[k])
    near = kt.NEAR_THRESHOLD if near_threshold is None else near_threshold
    earlier = [(known(f.rows, near) if known else None) or {} for f in found]
    for f, e in zip(found, earlier):
        if f.formula_text is None:
            f.formula_text = e.get("text")
    match_library(found, exprs, library, progress, near_threshold, client, kept=[e.get("match") for e in earlier],
                  bounds=bounds, snap=snap)
    candidates = [f.candidate for f in found]
    thresholds = {k: opts[k] for k in FILTERING}
    distances = [e.get("composition") for e in earlier]
    result = sparse.filter_large(candidates, library, client=client,
                                 progress=lambda done, total: progress("filtering", done, total),
                                 distances=distances, **thresholds) if filter else None
    row_verdicts = judge_rows(exprs, bounds, library, snap, fit_threshold, client, progress, known=kept_verdicts)
    for f in found:
        f.verdict = verdicts.structure_verdict([row_verdicts[r] for r in f.rows])
    return Run(ids=list(ids), exprs=exprs if isinstance(exprs, DescribedExprs) else list(exprs), descriptors=descriptors, clusters=clusters, found=found,
               result=result, matrix=matrix, graph=graph, library_descriptors=lib_descs, left_out=left_out,
               accounts=accounts, texts=list(texts) if texts is not None else None,
               compositions={f.cluster: d for f, d in zip(found, distances) if d is not None},
               settings={**opts, "near_threshold": near, "snap": snap, "fit_threshold": fit_threshold},
               verdicts=row_verdicts)


def _dropped_reason(account, novelty_threshold):
    """Why detection made no candidate of a cluster of two or more formulas, from its account
    (`_score_cluster`): no generalisation, one that says too little, or a score below the
    threshold."""
    formula = account["formula"]
    if formula is None:
        return "its cluster has no common generalisation"
    if not account["kept"]:
        formula = kt._display_canonical_expr(formula)
        if kt._is_wildcard(formula):
            return f"its cluster generalises to a bare wildcard ({formula})"
        return (f"its cluster's generalisation {formula} is too generic "
                f"(wildcard density {kt._wildcard_density(formula):.2f})")
    return (f"its cluster's score {float(account['novelty']):.3g} is below the novelty threshold "
            f"{novelty_threshold:g}")


def _structure_block(index, candidate, seed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings of the evaluation
        np.random.seed(formula_seed(seed, candidate.formula))
        return kt.candidate_report(index, candidate)


def structure_blocks(run, seed, known=None, progress=_quiet, client=None):
    """Each structure's text block (`candidate_report`), its figures drawn from numpy's generator
    seeded for its formula (`formula_seed`), so that a structure reads the same whatever else
    the bank holds and wherever it is described: here, or as tasks of a Dask `client`.
    `known(found)` may give a block made earlier for the same structure, or None."""
    from source import large as sparse
    from source.report import _reindexed
    total = len(run.found)
    blocks = [known(f) if known else None for f in run.found]
    blocks = [_reindexed(b, i) if b is not None else None for i, b in enumerate(blocks)]
    todo = [i for i, b in enumerate(blocks) if b is None]
    ready = total - len(todo)
    made = sparse._run(client, _structure_block, [(i, run.found[i].candidate, seed) for i in todo],
                       lambda done, _: progress("describing the structures", ready + done, total), light=True)
    for i, block in zip(todo, made):
        blocks[i] = block
    return blocks


def behavior_blocks(run, category=None):
    """The blocks `behavior` renders for the structures the run's filter kept (novel first,
    then repeated; or one category): a header, the candidate's report and ten compiled
    compositions, each candidate's compositions drawn from a generator seeded with 42. The
    run's own candidates and filter settings are used; nothing is detected again."""
    categories = ["novel", "repeated"] if category in (None, "all") else [category]
    blocks = []
    for name in categories:
        for i, c in enumerate(getattr(run.result, name)):
            lines = ["\u2500\u2500 " + name + " structure #" + str(i) + " " + "\u2500" * 34, kt.candidate_report(i, c)]
            generator = kt.ControlledCompositionGenerator(seed=42)
            for j in range(10):
                op = kt.SymbolicOperator.from_structure(f"Op{i + 1}Eq{j + 1}", c.formula)
                text = generator.compose(op, max_level=2)
                func, names, np_expr = kt.NumpyCompiler.compile(text, op)
                value = kt.NumpyCompiler.evaluate(text, op, **{v: float(k + 1) for k, v in enumerate(names)})
                try:
                    vector = func(**{v: np.linspace(0.1, 1.0, 5) for v in names})
                except (ZeroDivisionError, OverflowError, ValueError, TypeError, NameError):
                    vector = np.full(5, np.nan)
                lines.append(kt.composition_report(text, names, np_expr, value, vector))
            blocks.append("\n".join(lines))
    return blocks


def _describe_block(rows, use_ranges, seed, snap=SNAP_TOLERANCE):
    """Each row parsed and described by its canonical form (`describe_canonical`): (lhs, expr,
    descriptor, text), text being the formula as printed (`Run.text`), or the row's
    FormulaError."""
    from source.bankio import parse_row
    from source.parsing import FormulaError
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings of the evaluation
        for row in rows:
            try:
                lhs, expr = parse_row(row)
            except FormulaError as e:
                out.append(e)
                continue
            text = str(expr)  # printed once: it seeds the description and is the report's text
            bounds = row.bounds if use_ranges and row.bounds else None
            out.append((lhs, expr, describe_canonical(expr, bounds, seed, text, snap), text))
    return out


def describe_rows(rows, use_ranges=True, seed=None, client=None, block_size=500, progress=None,
                  snap=SNAP_TOLERANCE):
    """Parses and describes rows read from bank files (`bankio.read_rows`): here one by one, or
    in blocks as tasks of a Dask `client`, the rows travelling with their ids. One outcome per
    row, in order: (lhs, expr, descriptor, text), or the row's FormulaError."""
    from source import large as sparse
    progress = progress or _quiet
    if client is None:
        out = []
        progress("reading and describing", 0, len(rows))
        for i, row in enumerate(rows):
            out += _describe_block([row], use_ranges, seed, snap)
            progress("reading and describing", i + 1, len(rows))
        return out
    blocks = [rows[o:o + block_size] for o in range(0, len(rows), block_size)]
    parts = sparse._run(client, _describe_block, [(b, use_ranges, seed, snap) for b in blocks],
                        lambda done, total: progress("reading and describing", done, total))
    return [outcome for part in parts for outcome in part]
