"""The command line: ``keltran detect`` and ``keltran concept`` (also ``python -m source``)."""
import argparse
import contextlib
import json
import math
import os
import sys
import signal
import tempfile
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


# ---- progress ------------------------------------------------------------------------------
class Progress:
    """One bar per stage of a run, on standard error; nothing when bars are not wanted."""

    def __init__(self, show):
        self._tqdm, self._bars = None, {}
        if show:
            with contextlib.suppress(ImportError):
                from tqdm import tqdm
                self._tqdm = tqdm

    def __call__(self, stage, done, total):
        if self._tqdm is None:
            return
        bar = self._bars.get(stage)
        if bar is None:
            bar = self._bars[stage] = self._tqdm(total=total, desc=stage, file=sys.stderr, leave=False)
        bar.update(done - bar.n)

    def close(self):
        for bar in self._bars.values():
            bar.close()
        self._bars.clear()


# ---- output files --------------------------------------------------------------------------
class Terminated(BaseException):
    """SIGTERM, raised where the run is so that output files are cleaned up as on Ctrl-C."""


def _on_sigterm(signum, frame):
    raise Terminated()


def _check_outputs(outputs, inputs):
    """Refuses an output path that is (or links to) one of the input files."""
    real_inputs = {os.path.realpath(p): p for p in inputs if p}
    for flag, path in outputs:
        if path and os.path.realpath(path) in real_inputs:
            raise CliError(f"{flag} {path} would overwrite the input file {real_inputs[os.path.realpath(path)]}")


def _new_file_mode():
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


@contextlib.contextmanager
def _atomic(path, mode="w"):
    """A temporary file beside `path`, renamed onto it only when the block succeeds. A symlink
    keeps pointing where it did (its target is replaced); an existing file keeps its
    permissions, a new one gets those the umask gives."""
    target = Path(os.path.realpath(path))
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    try:
        try:
            permissions = target.stat().st_mode & 0o7777
        except FileNotFoundError:
            permissions = _new_file_mode()
        os.fchmod(fd, permissions)
        with os.fdopen(fd, mode) as f:
            yield f
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _score(value):
    value = float(value)
    return value if math.isfinite(value) else ("inf" if value > 0 else "-inf" if value < 0 else "nan")


def verdict_text(match):
    """What a structure (or member) is: "known law (kind): name" or "new structure"."""
    if match is None:
        return "new structure"
    return f"known law ({match.kind}): {match.law}"


def _binding_text(bindings):
    if not bindings:
        return "(no bindings)"
    return ", ".join(f"{k}={v}" for k, v in bindings.items())


def verdict_report(run, members=True):
    """The verdict on every structure, known laws first counted at the top."""
    known = sum(f.match is not None for f in run.found)
    lines = ["", "=== Structures: known law or new ===", "",
             f"known laws    : {known}", f"new structures: {len(run.found) - known}", ""]
    if not run.found:
        lines.append("  (none)")
    for k, f in enumerate(run.found):
        detail = ""
        if f.match is not None:
            alike = sum(m is not None and m.law == f.match.law for m in f.member_matches)
            detail = f"  ({alike} of {len(f.rows)} members"
            detail += f", distance {f.match.distance:.3g})" if f.match.distance else ")"
        lines.append(f"  [{k}] {verdict_text(f.match)}{detail}")
        lines.append(f"       formula        : {f.candidate.formula}   ({len(f.rows)} members)")
        if f.match is not None and f.match.mapping:
            lines.append("       mapping        : " + ", ".join(f"{ours}→{law}" for ours, law in f.match.mapping.items())
                         + "   (ours → the law's)")
        if members:
            for r, m, b in zip(f.rows, f.member_matches, f.bindings):
                lines.append(f"       {run.ids[r]}: {run.exprs[r]}   [{_binding_text(b)}]   {verdict_text(m)}")
    return "\n".join(lines) + "\n"


def _match_json(match):
    if match is None:
        return None
    return {"law": match.law, "kind": match.kind, "distance": match.distance,
            "mapping": dict(match.mapping) if match.mapping is not None else None}


def _document(args, kt, run, bank_label, library, library_label, blocks):
    result = run.result
    verdict = {id(c): ("novel", None) for c in result.novel}
    verdict.update({id(c): ("repeated", None) for c in result.repeated})
    verdict.update({id(c): ("discarded", reason) for reason, c in result.discarded})
    summary = None
    if run.matrix is not None and len(run.matrix) >= 2:
        upper = np.asarray(run.matrix)[np.triu_indices(len(run.matrix), 1)]
        summary = {"min": float(upper.min()), "mean": float(upper.mean()), "max": float(upper.max())}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rendered = [kt.candidate_report(i, f.candidate) for i, f in enumerate(run.found)]
    return {
        "schema_version": SCHEMA_VERSION,
        "settings": {"bank": bank_label, "library": library_label, "bank_size": len(run.ids),
                     "library_size": len(library), "use_ranges": not args.no_ranges,
                     "sim_threshold": args.sim_threshold, "novelty_threshold": args.novelty_threshold,
                     "alpha": args.alpha, "beta": args.beta, "min_members": args.min_members,
                     "category": args.category, "seed": args.seed},
        "similarity": summary,
        "candidates": [{
            "formula": str(f.candidate.formula),
            "display": text,
            "library_match": _match_json(f.match),
            "members": [{"id": run.ids[r], "formula": str(run.exprs[r]),
                         "bindings": {str(k): str(v) for k, v in b.items()} if b is not None else None,
                         "library_match": _match_json(m)}
                        for r, m, b in zip(f.rows, f.member_matches, f.bindings)],
            "growth_class": f.candidate.growth_class,
            "score": _score(f.candidate.novelty),
            "closest_library_entry": f.candidate.closest_lib,
            "category": verdict[id(f.candidate)][0],
            "discard_reason": verdict[id(f.candidate)][1],
        } for f, text in zip(run.found, rendered)],
        "behavior": blocks,
    }


def _plot(path, run):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("--plot needs matplotlib: pip install 'keltran[plot]'") from None
    if run.matrix is None:
        raise CliError("--plot needs at least one formula")
    matrix = np.asarray(run.matrix)
    formula_of = {f.cluster: str(f.candidate.formula) for f in run.found}
    # Largest clusters first; each cluster a block on the diagonal.
    order, bounds = [], []
    for k in sorted(range(len(run.clusters)), key=lambda k: -len(run.clusters[k])):
        bounds.append((len(order), len(run.clusters[k]), formula_of.get(k)))
        order.extend(run.clusters[k])
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
def _dask_client(address):
    try:
        from dask.distributed import Client
    except ImportError:
        raise CliError("--dask needs Dask: pip install 'keltran[dask]'") from None
    return Client(address)


def detect(args):
    kt = _engine()
    large = args.large or args.dask
    if large and (args.plot or args.behavior):
        raise CliError("--plot and --behavior need the dense path (drop --large)")
    _check_outputs([("--json", args.json), ("--plot", args.plot)], [args.bank, args.library])
    entries, bank_label = _bank(args.bank, args.skip_bad)
    library, library_label = _library(args.library, args.skip_bad)
    ranges = None if args.no_ranges else [e.var_ranges() or {} for e in entries]
    if ranges is not None and not any(ranges):
        ranges = None
    print(f"KELTRAN: {len(entries)} formulas ({bank_label}) against {len(library)} library entries "
          f"({library_label})")
    from source.run import detect as run_detection
    progress = Progress(not args.quiet and sys.stderr.isatty())
    client = _dask_client(args.dask) if args.dask else None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings
            run = run_detection([e.id for e in entries], [e.expr for e in entries], library, ranges,
                                sim_threshold=args.sim_threshold, novelty_threshold=args.novelty_threshold,
                                alpha=args.alpha, beta=args.beta, min_members=args.min_members,
                                large=bool(large), client=client, verbose=not args.quiet and not large,
                                progress=progress, seed=args.seed)
    finally:
        progress.close()
        if client is not None:
            client.close()
    candidates, result = run.candidates, run.result
    print(verdict_report(run, members=not args.quiet))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if not args.quiet and not large:
            print("\n=== Candidates ===\n")
            kt.report(candidates)
        print("=== Detection score: after filter ===\n")
        if args.category == "all" or large:
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
            doc = _document(args, kt, run, bank_label, library, library_label, blocks)
            with _atomic(args.json) as f:
                json.dump(doc, f, indent=2, ensure_ascii=False)
    if args.plot:
        _plot(args.plot, run)
    return 0


def concept(args):
    kt = _engine()
    report = args.report
    path = Path(report)
    if path.suffix.lower() == ".json":
        if not path.is_file():
            raise CliError(f"file not found: {path}")
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except ValueError as e:
            raise CliError(f"{path}: not valid JSON: {e}") from None
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
    from source.parsing import FormulaError
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            kt.discover_concept(report, llm_client=client, verbose=args.verbose)
        except FormulaError as e:
            raise CliError(f"cannot parse the operator's formula: {e}") from None
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
    d.add_argument("--seed", type=int, default=0,
                   help="seed of numpy's generator, so that two runs print the same numbers (0)")
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
    signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        return args.run(args)
    except CliError as e:
        print(f"keltran: error: {e}", file=sys.stderr)
        return e.code
    except KeyboardInterrupt:
        print("keltran: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("keltran: terminated", file=sys.stderr)
        return 143


if __name__ == "__main__":
    sys.exit(main())
