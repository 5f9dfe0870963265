"""The command line: ``keltran detect`` and ``keltran concept`` (also ``python -m source``)."""
import argparse
import contextlib
import json
import math
import os
import sys
import tempfile
import types
import warnings
from pathlib import Path

import numpy as np

SCHEMA_VERSION = 1


def _engine():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the missing-key warning; `concept --llm` says it itself
        from source import _brenmoor
    return _brenmoor


class CliError(Exception):
    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


# ---- input -------------------------------------------------------------------------------
def _bank(path, skip_bad):
    from source import bankio
    from source.feynman import load_bank
    if path is None:
        return [bankio.Entry(f.id, f.expr, f.bounds, "bundled Feynman bank") for f in load_bank()], "bundled Feynman bank"
    try:
        entries, skipped = bankio.load(path, skip_bad, warn=lambda text: print(text, file=sys.stderr))
    except bankio.BankError as e:
        raise CliError(str(e)) from None
    if skipped:
        print(f"warning: skipped {skipped} unparsable row(s) of {path}", file=sys.stderr)
    if not entries:
        raise CliError(f"{path}: no formulas")
    return entries, str(path)


def _library(path, skip_bad):
    from source.laws import load_library
    if path is None:
        return load_library(), "bundled textbook laws"
    entries, label = _bank(path, skip_bad)
    return {e.id: e.expr for e in entries}, label


# ---- progress and the stages the pipeline calls through the module ----------------------
class Stages:
    """Wraps the module functions the pipeline calls so that the run can show progress and keep
    the similarity matrix and clusters (public signatures and standard output are unchanged)."""

    def __init__(self, kt, total_descriptions, show_progress):
        self.kt, self.matrix, self.clusters, self.descriptors = kt, None, None, []
        self._saved, self._bars = {}, []
        tqdm = None
        if show_progress:
            with contextlib.suppress(ImportError):
                from tqdm import tqdm
        self._tqdm = tqdm
        self._describe_bar = self._bar(total_descriptions, "describing")
        self._score_bar = None
        self._wrap("describe", self._on_describe)
        self._wrap("pairwise_matrix", self._on_matrix)
        self._wrap("cluster_by_similarity", self._on_clusters)
        self._wrap("behavioral_distance_between_cluster_and_library", self._on_score)

    def _bar(self, total, label):
        if self._tqdm is None:
            return None
        bar = self._tqdm(total=total, desc=label, file=sys.stderr, leave=False)
        self._bars.append(bar)
        return bar

    def _wrap(self, name, after):
        original = self._saved[name] = getattr(self.kt, name)

        def wrapper(*args, **kwargs):
            if name == "pairwise_matrix":
                self.descriptors = list(args[0])
            if name == "pairwise_matrix" and self._tqdm is not None:
                bar = self._bar(1, f"all pairs ({len(args[0])} formulas)")
                result = original(*args, **kwargs)
                bar.update(1)
            else:
                result = original(*args, **kwargs)
            after(result)
            return result
        setattr(self.kt, name, wrapper)

    def _on_describe(self, _):
        if self._describe_bar is not None:
            self._describe_bar.update(1)

    def _on_matrix(self, matrix):
        self.matrix = matrix

    def _on_clusters(self, clusters):
        self.clusters = clusters
        self._score_bar = self._bar(len(clusters), "scoring clusters")

    def _on_score(self, _):
        if self._score_bar is not None:
            self._score_bar.update(1)

    def close(self):
        for name, original in self._saved.items():
            setattr(self.kt, name, original)
        for bar in self._bars:
            bar.close()


# ---- output files --------------------------------------------------------------------------
@contextlib.contextmanager
def _atomic(path, mode="w"):
    """A temporary file beside `path`, renamed onto it only when the block succeeds."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent or ".", prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, mode) as f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _score(value):
    value = float(value)
    return value if math.isfinite(value) else ("inf" if value > 0 else "-inf" if value < 0 else "nan")


def _document(args, kt, entries, bank_label, library, library_label, candidates, result, stages, blocks):
    ids = {id(e.expr): e.id for e in entries}
    verdict = {id(c): ("novel", None) for c in result.novel}
    verdict.update({id(c): ("repeated", None) for c in result.repeated})
    verdict.update({id(c): ("discarded", reason) for reason, c in result.discarded})
    summary = None
    if stages.matrix is not None and len(stages.matrix) >= 2:
        upper = np.asarray(stages.matrix)[np.triu_indices(len(stages.matrix), 1)]
        summary = {"min": float(upper.min()), "mean": float(upper.mean()), "max": float(upper.max())}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rendered = [kt.candidate_report(i, c) for i, c in enumerate(candidates)]
    return {
        "schema_version": SCHEMA_VERSION,
        "settings": {"bank": bank_label, "library": library_label, "bank_size": len(entries),
                     "library_size": len(library), "use_ranges": not args.no_ranges,
                     "sim_threshold": args.sim_threshold, "novelty_threshold": args.novelty_threshold,
                     "alpha": args.alpha, "beta": args.beta, "min_members": args.min_members,
                     "category": args.category},
        "similarity": summary,
        "candidates": [{
            "formula": str(c.formula),
            "display": text,
            "members": [{"id": ids.get(id(m)), "formula": str(m)} for m in c.members],
            "growth_class": c.growth_class,
            "score": _score(c.novelty),
            "closest_library_entry": c.closest_lib,
            "category": verdict[id(c)][0],
            "discard_reason": verdict[id(c)][1],
        } for c, text in zip(candidates, rendered)],
        "behavior": blocks,
    }


def _plot(path, kt, stages, candidates):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("--plot needs matplotlib: pip install 'keltran[plot]'") from None
    if stages.matrix is None or stages.clusters is None:
        raise CliError("--plot needs at least one formula")
    matrix = np.asarray(stages.matrix)
    row_of = {id(d): i for i, d in enumerate(stages.descriptors)}
    formula_of = {}
    for c in candidates:
        members = [str(m) for m in c.members]
        for k, cluster in enumerate(stages.clusters):
            if [str(d.numeric_expr) for d in cluster] == members:
                formula_of[k] = str(c.formula)
    # Largest clusters first; each cluster a block on the diagonal.
    order, bounds = [], []
    for k in sorted(range(len(stages.clusters)), key=lambda k: -len(stages.clusters[k])):
        cluster = stages.clusters[k]
        bounds.append((len(order), len(cluster), formula_of.get(k)))
        order.extend(row_of[id(d)] for d in cluster)
    rows = np.array(order)
    fig, ax = plt.subplots(figsize=(8, 8), dpi=100)
    ax.imshow(matrix[np.ix_(rows, rows)], cmap="viridis", vmin=0.0, vmax=1.0, interpolation="nearest")
    for start, size, formula in bounds:
        if size > 1:
            ax.add_patch(plt.Rectangle((start - 0.5, start - 0.5), size, size, fill=False, edgecolor="white", lw=1))
    for start, size, formula in [b for b in bounds if b[2]][:6]:
        ax.annotate(formula, (start + size, start), color="white", fontsize=7, va="top")
    ax.set_title(f"Similarity, ordered by cluster ({len(matrix)} formulas)")
    ax.set_xticks([])
    ax.set_yticks([])
    with _atomic(path, "wb") as f:
        fig.savefig(f, format="png")
    plt.close(fig)


# ---- commands ------------------------------------------------------------------------------
def detect(args):
    kt = _engine()
    entries, bank_label = _bank(args.bank, args.skip_bad)
    library, library_label = _library(args.library, args.skip_bad)
    ranges = None if args.no_ranges else [e.var_ranges() or {} for e in entries]
    if ranges is not None and not any(ranges):
        ranges = None
    show_progress = not args.quiet and sys.stderr.isatty()
    print(f"KELTRAN: {len(entries)} formulas ({bank_label}) against {len(library)} library entries "
          f"({library_label})")
    if args.large or args.dask:
        return detect_large(args, kt, entries, library, ranges)
    stages = Stages(kt, len(entries) + len(library), show_progress)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings
            candidates = kt.detect_structure([(e.id, e.expr) for e in entries], library, ranges,
                                             sim_threshold=args.sim_threshold,
                                             novelty_threshold=args.novelty_threshold,
                                             alpha=args.alpha, beta=args.beta, verbose=not args.quiet)
    finally:
        stages.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = kt.filter_candidates(candidates, library, min_members=args.min_members)
        if not args.quiet:
            print("\n=== Candidates ===\n")
            kt.report(candidates)
        print("=== After filter ===\n")
        if args.category == "all":
            kt.filter_report(result)
        else:
            print(f"{args.category}: {len(getattr(result, args.category))}\n")
            kt.report(getattr(result, args.category))
        blocks = None
        if args.behavior:
            blocks = kt.behavior([(e.id, e.expr) for e in entries], args.alpha, args.beta, library, ranges,
                                 sim_threshold=args.sim_threshold, novelty_threshold=args.novelty_threshold,
                                 verbose=False, category=args.category)
            print("\n=== Behaviour of each kept structure: ten compiled compositions ===\n")
            for block in blocks:
                print(block + "\n")
        if args.json:
            doc = _document(args, kt, entries, bank_label, library, library_label, candidates, result,
                            stages, blocks)
            with _atomic(args.json) as f:
                json.dump(doc, f, indent=2, ensure_ascii=False)
    if args.plot:
        _plot(args.plot, kt, stages, candidates)
    return 0


def detect_large(args, kt, entries, library, ranges):
    from source import large
    if args.plot or args.behavior:
        raise CliError("--plot and --behavior need the dense path (drop --large)")
    client = None
    if args.dask:
        try:
            from dask.distributed import Client
        except ImportError:
            raise CliError("--dask needs Dask: pip install 'keltran[dask]'") from None
        client = Client(args.dask)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            candidates = large.detect_large([(e.id, e.expr) for e in entries], library, ranges,
                                            sim_threshold=args.sim_threshold,
                                            novelty_threshold=args.novelty_threshold,
                                            alpha=args.alpha, beta=args.beta, client=client)
            result = large.filter_large(candidates, library, client=client, min_members=args.min_members)
            print("=== After filter ===\n")
            kt.filter_report(result)
            if args.json:
                stages = types.SimpleNamespace(matrix=None)
                doc = _document(args, kt, entries, args.bank or "bundled Feynman bank", library,
                                args.library or "bundled textbook laws", candidates, result, stages, None)
                with _atomic(args.json) as f:
                    json.dump(doc, f, indent=2, ensure_ascii=False)
    finally:
        if client is not None:
            client.close()
    return 0


def concept(args):
    kt = _engine()
    report = args.report
    path = Path(report)
    if path.suffix.lower() == ".json":
        if not path.is_file():
            raise CliError(f"file not found: {path}")
        data = json.loads(path.read_text(encoding="utf-8"))
        if isinstance(data, dict) and "candidates" in data:  # a `detect --json` document
            if not data["candidates"]:
                raise CliError(f"{path}: the document holds no candidates")
            if not 0 <= args.index < len(data["candidates"]):
                raise CliError(f"{path}: no candidate {args.index}")
            report = {"name": f"candidate{args.index}", "definition": data["candidates"][args.index]["formula"]}
        else:
            report = data
    client = None
    if args.llm:
        if kt.groq_client is None:
            raise CliError("--llm needs a language-model key: set GROQ_API_KEY "
                           "(export GROQ_API_KEY='your-key') and run again", code=2)
        client = kt.llm_call
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kt.discover_concept(report, llm_client=client, verbose=args.verbose)
    return 0


def parser():
    p = argparse.ArgumentParser(prog="keltran", description="Structure detection in banks of symbolic formulas.")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("detect", help="detect recurring structures in a bank of formulas",
                       description="Describe, cluster and generalise a bank of formulas, score the "
                                   "generalisations against a library and report novel and repeated "
                                   "structures. Without BANK: the bundled Feynman bank and textbook laws.")
    d.add_argument("bank", nargs="?", metavar="BANK", help="CSV, hall-of-fame CSV, text or JSON file")
    d.add_argument("--library", metavar="LIB", help="library file, same formats (name = id)")
    d.add_argument("--no-ranges", action="store_true", help="ignore the bank's variable ranges")
    d.add_argument("--sim-threshold", type=float, default=0.85, help="clustering threshold (0.85)")
    d.add_argument("--novelty-threshold", type=float, default=1.0, help="minimum candidate score (1.0)")
    d.add_argument("--alpha", type=float, default=0.85, help="weight of structural similarity (0.85)")
    d.add_argument("--beta", type=float, default=0.15, help="weight of behavioural similarity (0.15)")
    d.add_argument("--min-members", type=int, default=2, help="members a structure needs to recur (2)")
    d.add_argument("--category", choices=["novel", "repeated", "all"], default="all",
                   help="structures to report (all)")
    d.add_argument("--behavior", action="store_true", help="add ten compiled compositions per structure")
    d.add_argument("--json", metavar="OUT.json", help="write the results as one JSON document")
    d.add_argument("--plot", metavar="OUT.png", help="draw the similarity matrix ordered by cluster")
    d.add_argument("--large", action="store_true",
                   help="large banks: a sparse similarity graph instead of the dense matrix")
    d.add_argument("--dask", metavar="ADDRESS",
                   help="with --large: run the graph blocks and scoring on this Dask scheduler")
    d.add_argument("--skip-bad", action="store_true", help="skip unparsable rows with a warning")
    d.add_argument("--quiet", action="store_true", help="no progress, no similarity line, no raw candidates")
    d.set_defaults(run=detect)
    c = sub.add_parser("concept", help="discover the concept behind one operator",
                       description="Derive the invariants of an operator and group them into families.")
    c.add_argument("report", metavar="FORMULA|REPORT.json",
                   help="a formula, a report JSON file, or a `detect --json` document")
    c.add_argument("--index", type=int, default=0, help="candidate of a detect document (0)")
    c.add_argument("--llm", action="store_true", help="group invariants through the language model")
    c.add_argument("--verbose", action="store_true", help="report failed or timed-out steps")
    c.set_defaults(run=concept)
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except CliError as e:
        print(f"keltran: error: {e}", file=sys.stderr)
        return e.code
    except KeyboardInterrupt:
        print("keltran: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
