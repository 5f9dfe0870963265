"""The whole job on large banks of distinct formulas, through the command line with --large:
each stage's time and the peak memory, in process (forked workers on every core) and on a local
Dask cluster, and the time against another build (today's, say) on 10,000 formulas, measured in
the same run.

    python bench/end_to_end.py                                  # 10,000 and 100,000 formulas
    python bench/end_to_end.py --sizes 10000 100000 1000000 --workers 2
    python bench/end_to_end.py --baseline /work/baseline/.venv/bin/keltran --sizes 10000

The banks are written once (seeded, bench/distinct.py) to build/bench/ and reused.
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from distinct import write_bank

HERE = Path(__file__).resolve().parent
FOLDER = HERE.parent / "build" / "bench"
STAGE = re.compile(r"^  (.{32}) +([\d.]+) (s|MB)$", re.M)


def bank_of(n):
    path = FOLDER / f"distinct_{n}.json"
    if not path.exists():
        FOLDER.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        write_bank(n, str(path), seed=0)
        print(f"wrote {path} in {time.perf_counter() - start:.0f} s", flush=True)
    return path


def keltran_of(path):
    """The command of an installed `keltran` script, run by its own interpreter."""
    first = Path(path).read_text(errors="replace").splitlines()[0]
    if not first.startswith("#!"):
        sys.exit(f"{path}: not a script with a #! line")
    return [first[2:].strip().split()[0], "-P", "-m", "source"]


# Runs a command and prints the high-water mark of its process tree: a fresh process per run,
# so that the mark is that run's (the command reaps its workers, whose marks reach it).
_MEASURED = (
    "import resource, subprocess, sys; code = subprocess.call(sys.argv[1:]); "
    "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=sys.stderr); "
    "sys.exit(code)"
)


def run(command, bank, extra=()):
    """(seconds, stage -> seconds, peak MB of any process of the run, counts) of one run."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "out.json"
        start = time.perf_counter()
        done = subprocess.run(
            [
                sys.executable,
                "-c",
                _MEASURED,
                *command,
                "detect",
                str(bank),
                "--large",
                "--quiet",
                "--timings",
                "--json",
                str(out),
                *extra,
            ],
            capture_output=True,
            text=True,
            cwd=tmp,
            env=dict(os.environ, GROQ_API_KEY=""),
        )
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            sys.exit(f"keltran failed ({done.returncode}):\n{done.stderr[-3000:]}")
        counts = json.loads(out.read_text())["counts"]
    stages = {m.group(1).strip(): float(m.group(2)) for m in STAGE.finditer(done.stderr)}
    peak = int(done.stderr.strip().splitlines()[-1]) / 1024
    return seconds, stages, peak, counts


def report(label, result):
    seconds, stages, children, counts = result
    print(
        f"\n{label}: {counts['bank']:,} formulas, {counts['in_structures']:,} in "
        f"{counts['known_law_structures'] + counts['new_structures']:,} structures, "
        f"{counts['left_out']:,} left out"
    )
    for stage, value in stages.items():
        unit = "MB" if stage.startswith("peak memory") else "s"
        print(f"  {stage:34} {value:9.1f} {unit}")
    print(f"  {'whole command (with start-up)':34} {seconds:9.1f} s")
    print(f"  {'peak memory, all its processes':34} {children:9.0f} MB")


def dask_run(command, bank, workers):
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, dashboard_address=None, memory_limit=0
        ) as cluster,
        Client(cluster) as client,
    ):
        result = run(command, bank, ["--dask", cluster.scheduler_address])
        peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
    return result, peaks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--workers", type=int, default=2, help="workers of the Dask cluster")
    parser.add_argument("--no-dask", action="store_true", help="only the in-process runs")
    parser.add_argument("--keltran", default=str(Path(sys.executable).parent / "keltran"))
    parser.add_argument("--baseline", help="another build's keltran, timed on 10,000 formulas")
    args = parser.parse_args()
    ours = keltran_of(args.keltran)
    if args.baseline:
        bank = bank_of(10_000)
        theirs = run(keltran_of(args.baseline), bank)
        mine = run(ours, bank)
        report("baseline, in process", theirs)
        report("this build, in process", mine)
        print(f"\nthis build takes {mine[0] / theirs[0]:.3f} of the baseline's time on 10,000")
    for n in args.sizes:
        bank = bank_of(n)
        report(f"in process, {n:,}", run(ours, bank))
        if not args.no_dask:
            result, peaks = dask_run(ours, bank, args.workers)
            report(f"local Dask cluster of {args.workers} workers, {n:,}", result)
            print(
                f"  {'peak memory of the workers':34} "
                + ", ".join(f"{v:.0f} MB" for v in peaks.values())
            )


if __name__ == "__main__":
    main()
