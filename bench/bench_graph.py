"""The similarity graph of a large bank against the dense matrix, and graph blocks on Dask.

python bench/bench_graph.py                 # 10,000 formulas, threshold 0.85
python bench/bench_graph.py --n100k         # also: blocks of 100,000 formulas on a 2-worker LocalCluster
"""

import argparse
import resource
import time
import warnings

import numpy as np
from common import kt, load_bank, variants


def describe_bank(n):
    bank = load_bank()
    pairs = [(f.expr, f.var_ranges()) for f in bank] + variants(bank, n - len(bank))
    return [kt.describe(e, var_ranges=r) for e, r in pairs]


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10000)
    parser.add_argument("--n100k", action="store_true")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    np.random.seed(0)
    start = time.perf_counter()
    ds = describe_bank(args.n)
    print(f"described {len(ds)} formulas in {time.perf_counter() - start:.1f} s")
    n = len(ds)
    pairs = n * (n - 1) // 2
    before = rss_mib()
    start = time.perf_counter()
    rows, cols, values, pruned = kt.similarity_graph(ds, 0.85)
    graph_s = time.perf_counter() - start
    graph_rss = rss_mib() - before
    graph_bytes = rows.nbytes + cols.nbytes + values.nbytes
    start = time.perf_counter()
    dense = kt.pairwise_matrix(ds)
    dense_s = time.perf_counter() - start
    upper = dense[np.triu_indices(n, 1)]
    assert len(values) == int(np.sum(upper >= 0.85)), "graph and matrix disagree"
    del upper
    print(f"similarity graph at 0.85, {n} formulas ({pairs} pairs)")
    print(
        f"  graph:  {graph_s:7.2f} s, {len(values)} edges kept, {pruned} pairs pruned "
        f"({100 * pruned / pairs:.1f} %), edges {graph_bytes / 2**20:.1f} MiB, peak RSS growth {graph_rss:.0f} MiB"
    )
    print(f"  dense:  {dense_s:7.2f} s, matrix {dense.nbytes / 2**20:.0f} MiB")
    print(
        f"  graph is {dense_s / graph_s:.1f}x faster (target >= 4x); edge memory "
        f"{100 * graph_bytes / dense.nbytes:.2f} % of the matrix (target <= 5 %)"
    )
    if args.n100k:
        blocks_100k(ds)


def blocks_100k(ds, n=100_000, block=5000):
    from dask.distributed import Client, LocalCluster

    from source.run import graph as large

    # The bank of 100,000 is made of the described formulas repeated, which costs no describing;
    # blocks of repeated trees take as long as blocks of new ones of the same shapes.
    bank = (ds * (n // len(ds) + 1))[:n]
    packed = [kt.pack_descriptors(bank[o : o + block]) for o in range(0, n, block)]
    count = len(packed) * (len(packed) + 1) // 2
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        sample = [(0, 1), (2, 3), (4, 5), (6, 7)]
        futures = client.scatter(packed[:8])
        start = time.perf_counter()
        jobs = [
            client.submit(
                large._block, futures[a], futures[b], 0.85, 0.85, 0.15, False, 0, 0, pure=False
            )
            for a, b in sample
        ]
        client.gather(jobs)
        wall = time.perf_counter() - start
    per_block = wall * 2 / len(sample)  # two workers ran them side by side
    print(f"100,000 formulas in {len(packed)} blocks of {block}: {count} block pairs")
    print(f"  one block pair on one single-threaded worker: {per_block:.1f} s")
    for workers in (8, 64):
        print(
            f"  projected on {workers} such workers: {count * per_block / workers / 60:.1f} min "
            f"(target < 30 min on 8)"
        )


if __name__ == "__main__":
    main()
