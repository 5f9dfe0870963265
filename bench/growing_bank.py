"""A bank that grows: adding formulas to a kept state against a run from scratch on the union.

Through the command line with --large on a local Dask cluster of 2 workers (or here, with
--local): a state is kept for the first N formulas of a distinct bank (not timed), then the
bank with M more formulas is run with that state, and from scratch; both print the same report
and write the same JSON document, and the ratio of their times is printed.

    python bench/growing_bank.py                  # 20,000 kept, 1,000 added
    python bench/growing_bank.py --kept 3000 --added 300 --local
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from distinct import write_bank


def stages(stderr):
    return {
        m.group(1).strip(): float(m.group(2))
        for m in re.finditer(r"^  (.{32}) +([\d.]+) s$", stderr, re.M)
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kept", type=int, default=20_000)
    parser.add_argument("--added", type=int, default=1_000)
    parser.add_argument(
        "--local", action="store_true", help="no Dask cluster: everything in the one process"
    )
    args = parser.parse_args()
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench")
    os.makedirs(folder, exist_ok=True)
    total = args.kept + args.added
    # The generator's first rows do not depend on the size asked: a larger bank's prefix serves.
    sizes = [
        int(m.group(1))
        for name in os.listdir(folder)
        if (m := re.fullmatch(r"distinct_(\d+)\.json", name))
    ]
    size = min((k for k in sizes if k >= total), default=total)
    source = os.path.join(folder, f"distinct_{size}.json")
    if not os.path.exists(source):
        write_bank(total, source, seed=0)
    rows = json.load(open(source))[:total]
    work = tempfile.mkdtemp(prefix="keltran-state-")
    first, added = os.path.join(work, "first.json"), os.path.join(work, "added.json")
    json.dump(rows[: args.kept], open(first, "w"))
    json.dump(rows[args.kept :], open(added, "w"))
    kept = os.path.join(work, "kept")
    env = dict(os.environ, GROQ_API_KEY="")

    def keltran(files, *options, dask=None):
        out = os.path.join(work, "out.json")
        command = [
            sys.executable,
            "-P",
            "-m",
            "source",
            "detect",
            *files,
            "--large",
            "--quiet",
            "--timings",
            "--json",
            out,
            *options,
        ] + (["--dask", dask] if dask else [])
        start = time.perf_counter()
        done = subprocess.run(command, capture_output=True, text=True, env=env)
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            sys.exit(f"keltran failed ({done.returncode}):\n{done.stderr[-3000:]}")
        doc = json.load(open(out))
        doc["settings"].pop("bank")
        return seconds, done.stdout.split("\n", 1)[1], doc, stages(done.stderr)

    def measure(dask=None):
        keltran([first], "--state", kept, dask=dask)
        grown = keltran([first, added], "--state", kept, dask=dask)
        scratch = keltran([first, added], dask=dask)
        return grown, scratch

    if args.local:
        grown, scratch = measure()
    else:
        from dask.distributed import Client, LocalCluster

        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, dashboard_address=None, memory_limit=0
            ) as cluster,
            Client(cluster),
        ):
            grown, scratch = measure(cluster.scheduler_address)
    shutil.rmtree(work)
    same = grown[1] == scratch[1] and grown[2] == scratch[2]
    where = "here" if args.local else "2 Dask workers"
    print(
        f"{args.kept} kept + {args.added} added distinct formulas, {where}: the same report and JSON: {same}"
    )
    print(f"{'stage':34} {'from scratch':>13} {'with the state':>15}")
    for stage in dict.fromkeys(list(scratch[3]) + list(grown[3])):
        print(f"{stage:34} {scratch[3].get(stage, 0.0):11.1f} s {grown[3].get(stage, 0.0):13.1f} s")
    print(f"{'whole command':34} {scratch[0]:11.1f} s {grown[0]:13.1f} s")
    print(f"ratio: {grown[0] / scratch[0]:.3f} (target under 0.15)")
    if not same:
        sys.exit("the run with the state differs from the run from scratch")


if __name__ == "__main__":
    main()
