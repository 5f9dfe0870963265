"""The command line: ``keltran detect`` and ``keltran concept`` (also ``python -m source``).

Exit codes: 0 done, 1 bad input (a file, a formula, an output path, a scheduler), 2 usage,
3 a language model asked for without a key, 130 interrupted, 141 output pipe closed, 143 SIGTERM.
"""
import argparse
import contextlib
import gc
import io
import json
import math
import os
import signal
import sys
import threading
import time
import warnings
from pathlib import Path

from source.outputs import OutputError, Terminated, atomic, check_outputs, is_stdout, on_sigterm
from source.progress import Progress


def _engine():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the missing-key warning: said only where a model is asked for
        from source import _brenmoor
    return _brenmoor


class CliError(Exception):
    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


def _version():
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("keltran")
    except PackageNotFoundError:
        return "unknown"


# ---- argument checks ---------------------------------------------------------------------
def _number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


def _ranged(low=None, high=None, open_low=False):
    def check(text):
        value = _number(text)
        if low is not None and (value < low or (open_low and value == low)):
            raise argparse.ArgumentTypeError(f"must be {'above' if open_low else 'at least'} {low:g}, got {text}")
        if high is not None and value > high:
            raise argparse.ArgumentTypeError(f"must be at most {high:g}, got {text}")
        return value
    return check


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text}")
    return value


# Every setting of detection and filtering: (option, keyword, check, help).
SETTINGS = [
    ("--sim-threshold", "sim_threshold", _ranged(0.0, 1.0), "similarity at which formulas cluster"),
    ("--alpha", "alpha", _ranged(0.0, 1.0), "weight of structural similarity (beta = 1 - alpha unless given)"),
    ("--beta", "beta", _ranged(0.0, 1.0), "weight of behavioural similarity (alpha = 1 - beta unless given)"),
    ("--novelty-threshold", "novelty_threshold", _number, "smallest detection score a structure keeps"),
    ("--w-structural", "w_structural", _ranged(0.0), "score weight of the tree distance to the library"),
    ("--w-behavioral", "w_behavioral", _ranged(0.0), "score weight of the behavioural distance"),
    ("--w-irreducibility", "w_irreducibility", _ranged(0.0), "score weight of irreducibility"),
    ("--w-recurrence", "w_recurrence", _ranged(0.0), "score weight of recurrence"),
    ("--w-compression", "w_compression", _ranged(0.0), "score weight of compression"),
    ("--scale-irreducible", "scale_irreducible", _ranged(0.0, open_low=True), "divisor of irreducibility"),
    ("--scale-recurrence", "scale_recurrence", _ranged(0.0, open_low=True), "divisor of recurrence"),
    ("--scale-compression", "scale_compression", _ranged(0.0, open_low=True), "divisor of compression"),
    ("--min-members", "min_members", _count, "members a structure needs to recur"),
    ("--novel-threshold", "novel_threshold", _number, "score from which a kept structure is novel"),
    ("--repeated-threshold", "repeated_threshold", _number, "score from which a kept structure is repeated"),
    ("--composition-threshold", "composition_threshold", _number,
     "tree distance under which a structure is a sum or product of two laws"),
    ("--max-wildcard-density", "max_wildcard_density", _ranged(0.0, 1.0), "largest share of bare wildcards"),
    ("--near-threshold", "near_threshold", _ranged(0.0, 1.0),
     "largest name-blind distance (over the tree size) still called a near known law"),
    ("--snap", "snap", _ranged(0.0, 0.5),
     "relative tolerance within which numbers snap to simple values, and share of a formula's "
     "variation below which a term is dropped, in its canonical form"),
    ("--fit-threshold", "fit_threshold", _ranged(0.0, 1.0),
     "R² from which a formula equals a law numerically (a*law + b on its ranges)"),
]


def _settings(args):
    """The run's settings by keyword, with the alpha/beta rule: one given, the other completes it
    to 1; both given, they must add up to 1."""
    chosen = {key: getattr(args, key) for _, key, _, _ in SETTINGS if getattr(args, key) is not None}
    alpha, beta = chosen.get("alpha"), chosen.get("beta")
    if alpha is not None and beta is None:
        chosen["beta"] = 1.0 - alpha
    elif beta is not None and alpha is None:
        chosen["alpha"] = 1.0 - beta
    elif alpha is not None and abs(alpha + beta - 1.0) > 1e-9:
        raise CliError(f"--alpha {alpha:g} and --beta {beta:g} must add up to 1", code=2)
    return chosen


# ---- input -------------------------------------------------------------------------------
def _warn(text):
    print(text, file=sys.stderr)


def _checked_entries(paths, entries, skipped):
    if skipped:
        _warn(f"warning: skipped {len(skipped)} unparsable row(s) of {', '.join(map(str, paths))}")
    if not entries:
        raise CliError(f"{', '.join(map(str, paths))}: no formulas")


def _read(paths, skip_bad, unique_ids, progress, what):
    from source import bankio
    try:
        entries, skipped = bankio.load_all(paths, skip_bad, warn=_warn, unique_ids=unique_ids,
                                           progress=lambda done, total: progress(f"reading {what}", done, total))
    except bankio.BankError as e:
        raise CliError(str(e)) from None
    _checked_entries(paths, entries, skipped)
    return entries, skipped


def _bank(args, progress, client, check_size, kept=None):
    """The bank's entries, the rows skipped, a label, the descriptors and printed formulas when
    the rows were described as they were read (files: here, or on the Dask workers), the rows of
    the entries and their left-hand sides, and the kept row of a state each took (or -1)."""
    from source import bankio, state
    from source.feynman import load_bank
    if not args.bank:
        entries = [bankio.Entry(f.id, f.expr, f.bounds, "bundled Feynman bank") for f in load_bank()]
        return entries, [], "bundled Feynman bank", None, None, None, None, None, None, None
    try:
        rows = bankio.read_rows(args.bank)
        check_size(len(rows))
        outcomes, old, source = state.describe(kept, rows, not args.no_ranges, args.seed, client, progress,
                                               snap=args.snap)
        parsed = [o if isinstance(o, Exception) else o[:2] for o in outcomes]
        entries, skipped = bankio.settle(rows, parsed, args.skip_bad, _warn, unique_ids=True)
    except bankio.BankError as e:
        raise CliError(str(e)) from None
    except state.StateError as e:
        raise CliError(str(e)) from None
    _checked_entries(args.bank, entries, skipped)
    good = [k for k, o in enumerate(outcomes) if not isinstance(o, Exception)]
    order = [not isinstance(o, Exception) for o in outcomes]
    return (entries, skipped, ", ".join(str(p) for p in args.bank), [outcomes[k][2] for k in good],
            [outcomes[k][3] for k in good], [rows[k] for k in good], [outcomes[k][0] for k in good], [old[k] for k in good],
            [source[k] for k in good], order)


def _library(args, progress):
    from source.laws import load_library
    if not args.library:
        return load_library(), "bundled textbook laws"
    entries, _ = _read(args.library, args.skip_bad, args.unique_ids, progress, "the library")
    return {e.id: e.expr for e in entries}, ", ".join(args.library)


def _memory_available():
    """Bytes of memory available to a new allocation, or None where the system does not say."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    return None


def _check_dense_fits(n):
    # The matrix of n*n doubles, and as much again while it is built and summarised.
    need, available = 16 * n * n, _memory_available()
    if available is not None and need > available:
        raise CliError(f"{n} formulas need about {need / 2**30:.1f} GB for the dense similarity matrix, more than "
                       f"the {available / 2**30:.1f} GB available: use --large (the sparse similarity graph)")


def _warn_if_shared(folder):
    """A state folder others may write to can be changed under the next run: say so."""
    with contextlib.suppress(OSError):
        mode = os.stat(folder).st_mode
        if mode & 0o022:
            who = "anyone" if mode & 0o002 else "its group"
            _warn(f"warning: {folder} is writable by {who}: whoever can write there can change what the next "
                  f"run reads from the state (chmod go-w {folder})")


DASK_DEADLINE = 10.0  # seconds to reach a scheduler and hear it answer as one


def _dask_client(address):
    """A client of the scheduler at `address`, within one deadline for reaching it and its
    answer: a port that answers but is no scheduler may otherwise keep the handshake waiting."""
    try:
        from dask.distributed import Client
    except ImportError:
        raise CliError("--dask needs Dask: pip install 'keltran[dask]'") from None
    outcome: dict = {}

    def connect():
        try:
            outcome["client"] = Client(address, timeout=f"{DASK_DEADLINE:g}s")
        except BaseException as e:  # reported below, on the command's own thread
            outcome["error"] = e

    worker = threading.Thread(target=connect, name="keltran-dask-connect", daemon=True)
    worker.start()
    worker.join(DASK_DEADLINE + 1.0)
    if worker.is_alive():
        raise CliError(f"cannot reach the Dask scheduler at {address}: no answer as a scheduler within "
                       f"{DASK_DEADLINE:g} s")
    error = outcome.get("error")
    if isinstance(error, (ValueError, TypeError)):  # an address Dask cannot read
        raise CliError(f"--dask {address!r} is not a scheduler address: {error}", code=2)
    if error is not None:
        raise CliError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    return outcome["client"]


# ---- commands ------------------------------------------------------------------------------
def detect(args):
    started = time.perf_counter()
    settings = _settings(args)
    large = bool(args.large or args.dask or args.state)
    if large and (args.plot or args.behavior or args.html):
        raise CliError("--plot, --html and --behavior need the dense path (drop --large, --dask and --state)", code=2)
    if args.state == "":
        raise CliError("--state needs a folder", code=2)
    if args.state and not args.bank:
        raise CliError("--state keeps what was learnt of bank files: give the BANK files", code=2)
    check_outputs([("--json", args.json), ("--csv", args.csv), ("--plot", args.plot), ("--html", args.html)],
                  list(args.bank or []) + list(args.library or []))
    to_stdout = any(is_stdout(p) for p in (args.json, args.csv, args.plot, args.html))
    out = sys.stderr if to_stdout else sys.stdout  # a document on standard output stands alone
    client = _dask_client(args.dask) if args.dask else None
    progress = Progress(not args.quiet and sys.stderr.isatty())
    held = contextlib.ExitStack()
    try:
        _engine()  # loaded here, without the missing-key warning a model would need
        from source import formulas, report, state
        if args.state:  # one run at a time keeps a state: another waits, and never reads one half written
            try:
                held.enter_context(state.locked(args.state, _warn))
            except OSError as e:
                raise CliError(f"{args.state}: cannot use the folder: {e.strerror or e}") from None
        from source.canonical import SNAP_TOLERANCE
        from source.law_fit import R2_THRESHOLD
        from source.run import DETECTION, FILTERING, DescribedExprs
        from source.run import detect as run_detection
        from source.run import structure_blocks
        kept_settings = {**DETECTION, "max_wildcard_density": FILTERING["max_wildcard_density"], **settings,
                         "seed": args.seed, "use_ranges": not args.no_ranges}
        kept = None
        if args.state:
            _warn_if_shared(args.state)
            try:
                with progress.step("opening the state"):
                    kept = state.read(args.state, kept_settings)
            except state.StateError as e:
                raise CliError(str(e)) from None
        entries, skipped, bank_label, descriptors, texts, rows, lhs, old, source, order = _bank(
            args, progress, client, _check_dense_fits if not large else lambda n: None, kept)
        library, library_label = _library(args, progress)
        graph = reuse = packed = None
        if kept is not None:
            try:
                graph, packed = state.graph(kept, descriptors, old, kept_settings, client, progress)
            except state.StateError as e:
                raise CliError(str(e)) from None
            reuse = state.Reuse(kept, rows, source, library, not args.no_ranges)
        ranges = None  # rows read from files come described: only the bundled bank is described in the run
        if descriptors is None and not args.no_ranges:
            ranges = [e.var_ranges() or {} for e in entries]
            if not any(ranges):
                ranges = None
        print(f"KELTRAN: {len(entries)} formulas ({bank_label}) against {len(library)} library entries "
              f"({library_label})", file=out)
        with warnings.catch_warnings(), contextlib.redirect_stdout(out):
            warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings
            try:
                # Rows described as they were read give their expressions from their descriptors:
                # those a state kept are built only where something looks at them.
                exprs = [e.expr for e in entries] if descriptors is None else DescribedExprs(descriptors)
                run = run_detection([e.id for e in entries], exprs, library, ranges,
                                    large=large, client=client, verbose=not args.quiet and not large,
                                    progress=progress, seed=args.seed, descriptors=descriptors, graph=graph,
                                    parts=reuse and reuse.parts, texts=texts, known=reuse and reuse.known,
                                    bounds=[(e.bounds or None) if not args.no_ranges else None for e in entries],
                                    canonical_forms=True, kept_verdicts=reuse.verdicts(
                                        settings.get("snap", SNAP_TOLERANCE), settings.get("fit_threshold", R2_THRESHOLD))
                                    if reuse is not None else None, **settings)
            except state.StateError as e:
                raise CliError(str(e)) from None
            result = run.result
            rendered = structure_blocks(run, args.seed, reuse and reuse.block, progress, client)
            table = formulas.table(run, skipped, order)
            print(formulas.account_report(run, table))
            print(report.verdict_report(run, members=not args.quiet))
            print(report.account_report(run, len(skipped)))
            if not args.quiet:
                print(report.left_out_report(run))
                print("=== Candidates ===\n")
                for block in rendered:
                    print(block + "\n")
            print("=== Detection score: after filter ===\n")
            print(report.filter_text(result, {id(f.candidate): b for f, b in zip(run.found, rendered)}, args.category,
                                     {id(f.candidate): f.shown() for f in run.found}))
            blocks = None
            if args.behavior:
                from source.run import behavior_blocks
                blocks = behavior_blocks(run, args.category)
                print("\n=== Behaviour of each kept structure: ten compiled compositions ===\n")
                for block in blocks:
                    print(block + "\n")
        labels = {"bank": bank_label, "library": library_label, "bank_size": len(entries),
                  "library_size": len(library), "skipped_rows": len(skipped)}
        asked = {"use_ranges": not args.no_ranges, "min_members": run.settings["min_members"],
                 "category": args.category, "seed": args.seed, "large": large, **run.settings}
        if args.json:
            with progress.step("writing the JSON document"), atomic(args.json) as f:
                doc = report.document(run, asked, labels, rendered, blocks, table)
                doc["skipped"] = skipped
                json.dump(doc, f, indent=2, ensure_ascii=False)
        if args.csv:
            with progress.step("writing the CSV table"), atomic(args.csv) as f:
                f.write(formulas.csv_text(table))
        if args.plot:
            from source.heatmap import png
            with progress.step("drawing the heat map"):
                image = png(run)
            with atomic(args.plot, "wb") as f:
                f.write(image)
        if args.html:
            from source.html import page
            with progress.step("writing the HTML report"):
                text = page(run, asked, labels, rendered, skipped, table)
            with atomic(args.html) as f:
                f.write(text)
        if args.state:
            with progress.step("keeping the state"):
                try:
                    state.write(args.state, run, rows, lhs, kept_settings, library, kept, source,
                                dict(zip((f.cluster for f in run.found), rendered)), packed, reuse)
                except OSError as e:
                    raise CliError(f"{args.state}: cannot keep the state: {e.strerror or e}") from None
                except state.StateError as e:  # a kept row copied as it was read, unread till now
                    raise CliError(str(e)) from None
    finally:
        held.close()
        progress.close()
        if client is not None:
            client.close()
    if args.timings:
        from source.progress import timings_text
        print(timings_text(progress.times, started), file=sys.stderr)
    return 0


def _concept_report(args, kt):
    """The report `discover_concept` takes, with the formula read as bank files are read."""
    from source.parsing import FormulaError, parse_formula
    text = args.report
    path = Path(text)
    params = None
    if text == "-" or path.suffix.lower() == ".json":
        if text != "-" and not path.is_file():
            raise CliError(f"file not found: {path}")
        try:
            raw = sys.stdin.read() if text == "-" else path.read_text(encoding="utf-8-sig")
            data = json.loads(raw)
        except UnicodeDecodeError:
            raise CliError(f"{path}: not UTF-8 text") from None
        except ValueError as e:
            raise CliError(f"{path}: not valid JSON: {e}") from None
        if isinstance(data, dict) and "candidates" in data:  # a `detect --json` document
            if not data["candidates"]:
                raise CliError(f"{path}: the document holds no candidates")
            if not 0 <= args.index < len(data["candidates"]):
                raise CliError(f"{path}: no candidate {args.index} (it holds {len(data['candidates'])})")
            name, definition = f"structure {args.index}", data["candidates"][args.index].get("formula")
        elif isinstance(data, dict):
            name, definition, params = data.get("name", "concept"), data.get("definition"), data.get("params")
        else:
            raise CliError(f"{path}: expected a report object or a detect document")
        if not isinstance(definition, str):
            raise CliError(f"{path}: the report has no formula ('definition')")
    else:
        name, definition = text, text
    try:
        expr = parse_formula(definition)
    except FormulaError as e:
        raise CliError(f"cannot parse formula {definition!r}: {e}") from None
    if params is not None and not (isinstance(params, list) and all(isinstance(p, str) for p in params)):
        raise CliError("'params' must be a list of parameter names")
    return {"name": str(name), "definition": expr, "params": params}


def concept(args):
    check_outputs([("--json", args.json)], [args.report])
    kt = _engine()
    report = _concept_report(args, kt)
    client = None
    if args.llm:
        if kt.groq_client is None:
            raise CliError("--llm needs a language-model key: set GROQ_API_KEY "
                           "(export GROQ_API_KEY='your-key') and run again", code=3)
        client = kt.llm_call
    from source.concept_text import concept_json, concept_text
    captured = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(captured):
        warnings.simplefilter("ignore")
        try:
            found = kt.discover_concept(report, llm_client=client, verbose=args.verbose)
        except ValueError as e:
            raise CliError(f"cannot discover the concept of {report['definition']}: {e}") from None
    failures = [line for line in captured.getvalue().splitlines()
                if line.endswith("timed out or failed") or line.startswith("LLM grouping failed")]
    if args.json:
        with atomic(args.json) as f:
            json.dump(concept_json(found), f, indent=2, ensure_ascii=False)
    if not is_stdout(args.json):
        print(concept_text(found, failures if args.verbose else []))
    return 0


def library(args):
    """Lists a library's laws with their forms and where each comes from, then the classes of
    laws of one form, which no formula can tell apart."""
    from source.law_fit import constants_of
    from source.laws import load_library
    from source.verdicts import form_classes
    kt = _engine()
    if args.library:
        entries, _ = _read(args.library, args.skip_bad, args.unique_ids, Progress(False), "the library")
        laws = {e.id: (e.expr, e.where) for e in entries}
        label = ", ".join(args.library)
    else:
        laws = {name: (expr, "bundled (source/laws.py)") for name, expr in load_library().items()}
        label = "bundled textbook laws"
    exprs = {name: expr for name, (expr, _) in laws.items()}
    classes = form_classes(exprs)
    print(f"KELTRAN library: {len(laws)} laws ({label})\n")
    width = max((len(n) for n in laws), default=0)
    for name, (expr, where) in laws.items():
        constants = sorted(f"{var} = {c.symbol}" for var, c in constants_of(name, expr).items())
        note = f"   constants it may fold: {', '.join(constants)}" if constants else ""
        print(f"  {name:<{width}}  {expr}   form {kt._canonicalize_expr(expr)}   [{where}]{note}")
    shared = {tuple(c) for c in classes.values() if len(c) > 1}
    print(f"\n{len(shared)} classes of laws of one form (a formula of that form is each of them):")
    for c in sorted(shared):
        print(f"  {len(c)} laws of the form {kt._canonicalize_expr(exprs[c[0]])}: {', '.join(c)}")
    if not shared:
        print("  (none)")
    return 0


def parser():
    from source.run import DETECTION, FILTERING
    kt = _engine()
    from source.canonical import SNAP_TOLERANCE
    from source.law_fit import R2_THRESHOLD
    defaults = {**DETECTION, **FILTERING, "near_threshold": kt.NEAR_THRESHOLD, "snap": SNAP_TOLERANCE,
                "fit_threshold": R2_THRESHOLD}
    p = argparse.ArgumentParser(prog="keltran", description="Structure detection in banks of symbolic formulas.")
    p.add_argument("--version", action="version", version=f"keltran {_version()}")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("detect", help="detect recurring structures in a bank of formulas",
                       description="Describe, cluster and generalise a bank of formulas, tell which "
                                   "structures are laws the library holds and which are new, and score "
                                   "them. Without BANK: the bundled Feynman bank and textbook laws.")
    d.add_argument("bank", nargs="*", metavar="BANK",
                   help="CSV, hall-of-fame CSV, text or JSON files, or - for standard input")
    d.add_argument("--library", metavar="LIB", action="append",
                   help="library file, same formats (name = id); may be given several times")
    d.add_argument("--unique-ids", action="store_true",
                   help="number repeated library ids (id#2, ...) instead of stopping (bank ids always are)")
    d.add_argument("--no-ranges", action="store_true", help="ignore the bank's variable ranges")
    for option, key, check, text in SETTINGS:
        d.add_argument(option, dest=key, type=check, default=None, metavar="X",
                       help=f"{text} ({defaults[key]:g})")
    d.add_argument("--category", choices=["novel", "repeated", "all"], default="all",
                   help="detection-score category to report (all)")
    d.add_argument("--behavior", action="store_true", help="add ten compiled compositions per kept structure")
    d.add_argument("--json", metavar="OUT.json", help="write the results as one JSON document (- for standard output)")
    d.add_argument("--csv", metavar="OUT.csv",
                   help="write every formula's verdict as a CSV table, one row per formula (- for standard output)")
    d.add_argument("--html", metavar="OUT.html", help="write a self-contained HTML report")
    d.add_argument("--plot", metavar="OUT.png", help="draw the similarity matrix ordered by structure")
    d.add_argument("--large", action="store_true",
                   help="large banks: a sparse similarity graph instead of the dense matrix")
    d.add_argument("--dask", metavar="ADDRESS",
                   help="with --large: run the graph blocks and scoring on this Dask scheduler")
    d.add_argument("--state", metavar="DIR",
                   help="keep the bank's descriptors and similarity graph in DIR (made if missing), and "
                        "describe and measure only rows it does not hold yet; implies --large")
    d.add_argument("--seed", type=int, default=0,
                   help="seed of numpy's generator, so that two runs print the same numbers (0)")
    d.add_argument("--skip-bad", action="store_true", help="skip unparsable rows with a warning")
    d.add_argument("--quiet", action="store_true", help="no progress, no members, no left-out list, no raw candidates")
    d.add_argument("--timings", action="store_true",
                   help="print each stage's time and this process's peak memory on standard error")
    d.set_defaults(run=detect)
    lib = sub.add_parser("library", help="list a library's laws, their forms and the laws of one form",
                         description="List the laws of a library (the bundled textbook laws without LIB) with "
                                     "their forms and where each comes from, and the classes of laws of one form.")
    lib.add_argument("library", nargs="*", metavar="LIB", help="library files (CSV, text or JSON)")
    lib.add_argument("--unique-ids", action="store_true", help="number repeated ids (id#2, ...) instead of stopping")
    lib.add_argument("--skip-bad", action="store_true", help="skip unparsable rows with a warning")
    lib.set_defaults(run=library)
    c = sub.add_parser("concept", help="discover the concept behind one operator",
                       description="Derive the invariants of an operator and group them into families.")
    c.add_argument("report", metavar="FORMULA|REPORT.json",
                   help="a formula, a report JSON file, a `detect --json` document, or - for JSON on standard input")
    c.add_argument("--index", type=int, default=0, help="structure of a detect document (0)")
    c.add_argument("--llm", action="store_true", help="group invariants through the language model")
    c.add_argument("--json", metavar="OUT.json", help="write the concept as JSON (- for standard output)")
    c.add_argument("--verbose", action="store_true", help="report failed or timed-out steps")
    c.set_defaults(run=concept)
    return p


@contextlib.contextmanager
def _fewer_collections():
    """A command holds its bank, its state and their expressions to the end: the cyclic
    collector, whose full collections walk every live container, runs less often meanwhile
    (at the default thresholds it took a quarter of a run on a grown 21,000-formula bank)."""
    before = gc.get_threshold()
    gc.set_threshold(100_000, 50, 50)
    try:
        yield
    finally:
        gc.set_threshold(*before)


def main(argv=None):
    signal.signal(signal.SIGTERM, on_sigterm)
    argv = sys.argv[1:] if argv is None else argv
    loading = "--quiet" not in argv and sys.stderr.isatty()
    p = None
    try:
        if loading:  # the engine and sympy take a second or two to import
            print("keltran: loading the engine\u2026", end="\r", file=sys.stderr, flush=True)
        p = parser()
        if loading:
            print(" " * 30, end="\r", file=sys.stderr, flush=True)
        args = p.parse_args(argv)
        with _fewer_collections():
            return args.run(args)
    except CliError as e:
        if e.code == 2 and p is not None:
            p.error(str(e))
        print(f"keltran: error: {e}", file=sys.stderr)
        return e.code
    except OutputError as e:
        print(f"keltran: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("keltran: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("keltran: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        # The reader left (| head): say nothing more, and keep Python from complaining at exit.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141


def command():
    """The `keltran` command: `main`, and after Ctrl-C or SIGTERM an exit at once, once the
    outputs are cleaned up and the message said, without the second or so that tearing down a
    large bank's objects takes."""
    code = main()
    if code in (130, 143):
        with contextlib.suppress(Exception):
            sys.stdout.flush()
            sys.stderr.flush()
        os._exit(code)
    sys.exit(code)


if __name__ == "__main__":
    command()
