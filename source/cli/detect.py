"""``keltran detect``: read the bank and the library, run the detection, print the report and
write the outputs asked for, keeping the state where asked."""

import argparse
import contextlib
import sys
import time
import warnings
from typing import Any, TextIO

from source.cli import inputs, stdin
from source.cli.dask import dask_runner
from source.cli.errors import CliError
from source.cli.inputs import said
from source.cli.outputs import atomic, check_outputs, is_stdout
from source.cli.progress import Progress, timings_text
from source.report import formulas, text
from source.report.document import document, dump
from source.report.heatmap import png
from source.report.html import page
from source.report.summary import summary
from source.run.blocks import behavior_blocks, structure_blocks
from source.run.detect import detect
from source.run.processes import local_runner
from source.run.ranking import origins_of
from source.run.results import DescribedExprs, Run
from source.run.runner import Runner
from source.settings import TUNED, Settings
from source.state import store
from source.state.changes import changes
from source.state.reuse import Kept, Reuse, graph


def settings_of(args: argparse.Namespace) -> dict[str, Any]:
    """The run's settings the user chose, by keyword, with the alpha/beta rule: one given, the
    other completes it to 1; both given, they must add up to 1."""
    chosen = {o.key: getattr(args, o.key) for o in TUNED if getattr(args, o.key) is not None}
    alpha, beta = chosen.get("alpha"), chosen.get("beta")
    if alpha is not None and beta is None:
        chosen["beta"] = 1.0 - alpha
    elif beta is not None and alpha is None:
        chosen["alpha"] = 1.0 - beta
    elif alpha is not None and beta is not None and abs(alpha + beta - 1.0) > 1e-9:
        raise CliError(f"--alpha {alpha:g} and --beta {beta:g} must add up to 1", code=2)
    return chosen


def _checked_usage(args: argparse.Namespace, large: bool) -> None:
    if large and args.behavior:
        raise CliError("--behavior needs the dense path (drop --large, --dask and --state)", code=2)
    if args.state == "":
        raise CliError("--state needs a folder", code=2)
    if args.state and not args.bank:
        raise CliError("--state keeps what was learnt of bank files: give the BANK files", code=2)
    check_outputs(
        [("--json", args.json), ("--csv", args.csv), ("--plot", args.plot), ("--html", args.html)],
        list(args.bank or []) + list(args.library or []),
    )


def _report(
    run: Run,
    rendered: list[str],
    table: list[dict[str, Any]],
    skipped: int,
    args: argparse.Namespace,
    told: dict[str, Any] | None,
) -> list[str] | None:
    """Prints the short report, after what changed since the state's last run (`told`); with
    --full every detail after it; the --behavior blocks, where asked."""
    print(summary(run, table, skipped, told["text"] if told is not None else None))
    if args.full:
        print(formulas.account_report(run, table))
        print(text.verdict_report(run, members=not args.quiet))
        print(text.account_report(run, skipped))
        if not args.quiet:
            print(text.left_out_report(run))
            print("=== Candidates ===\n")
            for block in rendered:
                print(block + "\n")
        print("=== Detection score: after filter ===\n")
        print(
            text.filter_text(
                run.result,
                {id(f.candidate): b for f, b in zip(run.found, rendered)},
                args.category,
                {id(f.candidate): f.shown() for f in run.found},
                {id(f.candidate): k for k, f in enumerate(run.found)},
            )
        )
    if not args.behavior:
        return None
    blocks = behavior_blocks(run, args.category)
    print("\n=== Behaviour of each kept structure: ten compiled compositions ===\n")
    for block in blocks:
        print(block + "\n")
    return blocks


def _write(
    args: argparse.Namespace,
    progress: Progress,
    run: Run,
    asked: dict[str, Any],
    labels: dict[str, Any],
    rendered: list[str],
    blocks: list[str] | None,
    bank: inputs.Bank,
    table: list[dict[str, Any]],
    told: dict[str, Any] | None,
) -> None:
    """The output files asked for, each whole or not at all."""
    if args.json:
        with progress.step("writing the JSON document"), atomic(args.json) as f:
            doc = document(run, asked, labels, rendered, blocks, table, told)
            doc["skipped"] = bank.skipped
            dump(doc, f)
    if args.csv:
        with progress.step("writing the CSV table"), atomic(args.csv) as f:
            f.write(formulas.csv_text(table))
    if args.plot:
        with progress.step("drawing the heat map"):
            image = png(run)
        with atomic(args.plot, "wb") as f:
            f.write(image)
    if args.html:
        with progress.step("writing the HTML report"):
            html = page(run, asked, labels, rendered, bank.skipped, table, changes=told)
        with atomic(args.html) as f:
            f.write(html)


def _keep(
    args: argparse.Namespace,
    run: Run,
    bank: inputs.Bank,
    settings: Settings,
    library: dict[str, Any],
    kept: Kept | None,
    rendered: list[str],
    reuse: Reuse | None,
) -> None:
    try:
        lhs = bank.column("lhs")
        assert lhs is not None  # a state is kept only of bank files, each row described
        store.write(
            args.state,
            run,
            bank.rows,
            lhs,
            settings,
            library,
            kept,
            bank.column("source"),
            dict(zip((f.cluster for f in run.found), rendered)),
            reuse.packed if reuse is not None else None,
            reuse,
        )
    except OSError as e:
        raise CliError(f"{args.state}: cannot keep the state: {e.strerror or e}") from None


def _run(
    args: argparse.Namespace,
    settings: Settings,
    runner: Runner,
    progress: Progress,
    out: TextIO,
    held: contextlib.ExitStack,
) -> None:
    # one run at a time keeps a state: another waits, and never reads one half written
    if args.state:
        try:
            held.enter_context(store.locked(args.state, inputs.warn))
        except OSError as e:
            raise CliError(f"{args.state}: cannot use the folder: {e.strerror or e}") from None
    kept = None
    if args.state:
        inputs.warn_if_shared(args.state)
        with progress.step("opening the state"):
            kept = store.read(args.state, settings)
    # The library first: the rows are judged as they are read.
    library, library_label = inputs.read_library(
        args.library, args.skip_bad, args.unique_ids, progress
    )
    bank = inputs.read_bank(
        args.bank,
        args.skip_bad,
        settings.use_ranges,
        settings.seed,
        settings.snap,
        runner,
        progress,
        inputs.check_dense_fits if not settings.large else lambda n: None,
        kept,
        judging=(library, settings.fit_threshold),
    )
    reuse = None
    descriptors = bank.column("descriptor")
    if kept is not None and descriptors is not None:
        old, source = bank.column("old"), bank.column("source")
        assert old is not None and source is not None  # described rows, as the descriptors are
        edges, packed = graph(kept, descriptors, old, settings, runner, progress)
        reuse = Reuse(kept, bank.rows, source, library, settings.use_ranges, edges, packed)
    # rows read from files come described: only the bundled bank is described in the run
    ranges = None
    if descriptors is None and settings.use_ranges:
        ranges = [e.var_ranges() or {} for e in bank.entries]
        if not any(ranges):
            ranges = None
    print(
        f"KELTRAN: {len(bank.entries)} formula{'' if len(bank.entries) == 1 else 's'} "
        f"({bank.label}) against {len(library)} library "
        f"entr{'y' if len(library) == 1 else 'ies'} ({library_label})",
        file=out,
    )
    with warnings.catch_warnings(), contextlib.redirect_stdout(out):
        warnings.simplefilter("ignore")  # numpy's overflow and invalid-value warnings
        # Rows described as they were read give their expressions from their descriptors:
        # those a state kept are built only where something looks at them.
        exprs = (
            [e.expr for e in bank.entries] if descriptors is None else DescribedExprs(descriptors)
        )
        run = detect(
            [e.id for e in bank.entries],
            exprs,
            library,
            ranges,
            bounds=[(e.bounds or None) if settings.use_ranges else None for e in bank.entries],
            descriptors=descriptors,
            texts=bank.column("text"),
            settings=settings,
            runner=runner,
            progress=progress,
            earlier=reuse,
            origins=origins_of(bank.entries),
            judged=descriptors is not None,
        )
        rendered = structure_blocks(
            run, settings.seed, reuse.block if reuse is not None else None, progress, runner
        )
        table = formulas.table(run, bank.skipped, bank.order)
        told = changes(kept, run, reuse.keys if reuse is not None else None) if args.state else None
        blocks = _report(run, rendered, table, len(bank.skipped), args, told)
    labels = {
        "bank": bank.label,
        "library": library_label,
        "bank_size": len(bank.entries),
        "library_size": len(library),
        "skipped_rows": len(bank.skipped),
    }
    asked = {
        "use_ranges": settings.use_ranges,
        "min_members": run.settings["min_members"],
        "category": args.category,
        "seed": settings.seed,
        "large": settings.large,
        **run.settings,
    }
    _write(args, progress, run, asked, labels, rendered, blocks, bank, table, told)
    if args.state:
        with progress.step("keeping the state"):
            _keep(args, run, bank, settings, library, kept, rendered, reuse)


def command(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    args.bank = stdin.bank_paths(args.bank or [])
    large = bool(args.large or args.dask or args.state)
    settings = Settings(
        **settings_of(args),
        seed=args.seed,
        use_ranges=not args.no_ranges,
        large=large,
        verbose=not args.quiet and not large,
        canonical_forms=True,
    )
    _checked_usage(args, large)
    to_stdout = any(is_stdout(p) for p in (args.json, args.csv, args.plot, args.html))
    out = sys.stderr if to_stdout else sys.stdout  # a document on standard output stands alone
    runner = dask_runner(args.dask) if args.dask else local_runner()
    progress = Progress.on(sys.stderr, args.quiet)
    held = contextlib.ExitStack()
    try:
        with said():
            _run(args, settings, runner, progress, out, held)
    finally:
        held.close()
        progress.close()
        runner.close()
    if args.timings:
        print(timings_text(progress.times, started), file=sys.stderr)
    return 0
