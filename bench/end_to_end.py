"""The whole job on a large bank of distinct formulas, through the command line on a local Dask
cluster: each stage's time, the driver's and the workers' peak memory, and a projection of the
time to more workers.

    python bench/end_to_end.py                   # 100,000 formulas, 2 workers
    python bench/end_to_end.py --n 5000 --workers 2

The bank is written once (seeded) to build/bench/ and reused.
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import time

from distinct import write_bank

# Stages whose work runs on the workers; the others run on the driver.
DISTRIBUTED = {
    "reading and describing",
    "similarity graph",
    "scoring",
    "matching the library",
    "filtering",
    "describing the structures",
}


def worker_peak():
    import resource as r

    return r.getrusage(r.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--project", type=int, default=64, help="workers to project the time to")
    args = parser.parse_args()
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench")
    os.makedirs(folder, exist_ok=True)
    bank = os.path.join(folder, f"distinct_{args.n}.json")
    if not os.path.exists(bank):
        start = time.perf_counter()
        write_bank(args.n, bank, seed=0)
        print(f"wrote {bank} in {time.perf_counter() - start:.0f} s")
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None, memory_limit=0
        ) as cluster,
        Client(cluster) as client,
    ):
        out = os.path.join(folder, f"distinct_{args.n}.out.json")
        start = time.perf_counter()
        run = subprocess.run(
            [
                sys.executable,
                "-P",
                "-m",
                "source",
                "detect",
                bank,
                "--large",
                "--dask",
                cluster.scheduler_address,
                "--quiet",
                "--timings",
                "--json",
                out,
            ],
            capture_output=True,
            text=True,
            env=dict(os.environ, GROQ_API_KEY=""),
        )
        wall = time.perf_counter() - start
        workers = client.run(worker_peak)
    if run.returncode != 0:
        sys.exit(f"keltran failed ({run.returncode}):\n{run.stderr[-3000:]}")
    driver = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    times = [
        (m.group(1).strip(), float(m.group(2)))
        for m in re.finditer(r"^  (.{32}) +([\d.]+) s$", run.stderr, re.M)
    ]
    counts = json.load(open(out))["counts"]
    print(
        f"{args.n} distinct formulas, {args.workers} workers: {counts['in_structures']} in "
        f"{counts['known_law_structures'] + counts['new_structures']} structures, {counts['left_out']} left out"
    )
    print(f"{'stage':34} {'time':>9}   where")
    spread, serial = 0.0, 0.0
    for stage, seconds in times:
        if stage == "whole run":
            continue
        where = "workers" if stage in DISTRIBUTED else "driver"
        spread += seconds if where == "workers" else 0.0
        serial += seconds if where == "driver" else 0.0
        print(f"{stage:34} {seconds:8.1f} s   {where}")
    print(f"{'whole command (with start-up)':34} {wall:8.1f} s")
    print(
        f"peak memory: driver {driver:.0f} MB, workers "
        + ", ".join(f"{v:.0f} MB" for v in workers.values())
    )
    other = wall - spread - serial
    projected = serial + other + spread * args.workers / args.project
    print(
        f"projected to {args.project} workers: {projected:.0f} s (driver stages and start-up as measured, "
        f"worker stages divided by {args.project // args.workers})"
    )


if __name__ == "__main__":
    main()
