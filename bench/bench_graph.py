"""The similarity graph of banks of distinct formulas: the whole-bank index against the
blockwise path (every pair of 2,000-row blocks through `graph_block`), time and pairs per row.

python bench/bench_graph.py                          # 10,000 and 20,000; blockwise at 10,000
python bench/bench_graph.py --sizes 10000,100000 --blockwise 10000,100000
python bench/bench_graph.py --dense 10000            # the graph against the dense matrix

The bank is bench/distinct.py's (a larger bank's first rows serve a smaller one), described
with seed 0 and packed by blocks of 2,000 rows, each block cached under build/bench/graph_blocks
so that a bank is described once.
"""

import argparse
import os
import pickle
import re
import resource
import shutil
import time
import warnings

import numpy as np
from common import kt, load_bank, variants
from distinct import write_bank

from source.bank import files
from source.run.describe import describe_rows

BLOCK = 2000
HERE = os.path.dirname(os.path.abspath(__file__))
FOLDER = os.path.join(HERE, "..", "build", "bench")
CACHE = os.path.join(FOLDER, "graph_blocks")


def bank_file(n):
    """A distinct bank of at least n rows: one written already (here or in the main tree), or
    a new one."""
    for folder in (FOLDER, os.path.join(HERE, "..", "..", "main", "build", "bench")):
        if os.path.isdir(folder):
            sizes = [
                int(m.group(1))
                for name in os.listdir(folder)
                if (m := re.fullmatch(r"distinct_(\d+)\.json", name))
            ]
            if (size := min((k for k in sizes if k >= n), default=None)) is not None:
                path = os.path.join(folder, f"distinct_{size}.json")
                if folder != FOLDER:
                    shutil.copy(path, FOLDER)
                return os.path.join(FOLDER, f"distinct_{size}.json")
    path = os.path.join(FOLDER, f"distinct_{n}.json")
    write_bank(n, path)
    return path


def packed_blocks(n):
    """The first n rows of the distinct bank, described and packed by blocks: (packed blocks,
    their offsets, the rows described)."""
    os.makedirs(CACHE, exist_ok=True)
    blocks, rows = [], None
    for k in range((n + BLOCK - 1) // BLOCK):
        path = os.path.join(CACHE, f"{k}.pickle")
        if not os.path.exists(path):
            if rows is None:
                rows = files.read_rows([bank_file(n)])
            start = time.perf_counter()
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                outcomes = describe_rows(rows[k * BLOCK : (k + 1) * BLOCK], seed=0)
            described = [o[2] for o in outcomes if isinstance(o, tuple)]
            with open(path + ".part", "wb") as f:
                pickle.dump((len(described), kt.pack_descriptors(described)), f)
            os.replace(path + ".part", path)
            print(f"  described block {k} in {time.perf_counter() - start:.0f} s", flush=True)
        with open(path, "rb") as f:
            blocks.append(pickle.load(f))
    counts = [c for c, _ in blocks]
    return [b for _, b in blocks], [int(o) for o in np.cumsum([0] + counts)[:-1]], sum(counts)


def blockwise(packed, offsets, threshold):
    """The graph block pair by block pair, as the large path measured it before the index."""
    parts, pruned = [], 0
    for a in range(len(packed)):
        for b in range(a, len(packed)):
            r, c, v, p = kt.graph_block(
                packed[a], None if a == b else packed[b], threshold, 0.85, 0.15, a == b
            )
            parts.append((r + offsets[a], c + offsets[b], v))
            pruned += p
    rows = np.concatenate([p[0] for p in parts])
    cols = np.concatenate([p[1] for p in parts])
    order = np.lexsort((cols, rows))
    return rows[order], cols[order], np.concatenate([p[2] for p in parts])[order], pruned


def scaling(sizes, old_sizes, threshold):
    print(f"similarity graph at {threshold} of distinct formulas (alpha 0.85, beta 0.15)")
    for n in sizes:
        packed, offsets, n = packed_blocks(n)
        start, cpu = time.perf_counter(), cpu_s()
        counts = {}
        new = kt.graph_of_blocks(packed, offsets, threshold, 0.85, 0.15, counts=counts)
        new_s, new_cpu = time.perf_counter() - start, cpu_s() - cpu
        pairs = n * (n - 1) // 2
        print(
            f"  {n:>9,} rows, index:     {new_s:8.2f} s wall, {1e6 * new_cpu / n:7.1f} us CPU/row; "
            f"per row {len(new[2]) / n:.2f} edges, {counts['offered'] / n:.1f} pairs offered, "
            f"{counts['measured'] / n:.2f} measured ({100 * new[3] / pairs:.4f} % of "
            f"{pairs:,} pruned); peak RSS {rss_mib():.0f} MiB",
            flush=True,
        )
        if n in old_sizes:
            start, cpu = time.perf_counter(), cpu_s()
            old = blockwise(packed, offsets, threshold)
            old_s, old_cpu = time.perf_counter() - start, cpu_s() - cpu
            same = all(np.array_equal(a, b) for a, b in zip(new[:3], old[:3])) and new[3] == old[3]
            print(
                f"  {n:>9,} rows, blockwise: {old_s:8.2f} s wall, {1e6 * old_cpu / n:7.1f} us "
                f"CPU/row; the index takes {old_cpu / new_cpu:.1f}x less CPU "
                f"({old_s / new_s:.1f}x less wall time); same graph and count: {same}",
                flush=True,
            )
            assert same, "the index and the blockwise path disagree"


def cpu_s():
    """CPU seconds of this process, its worker threads included: the machine is shared."""
    use = resource.getrusage(resource.RUSAGE_SELF)
    return use.ru_utime + use.ru_stime


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def dense(n):
    """The graph against the dense matrix on a bank of variants of the bundled rows."""
    bank = load_bank()
    pairs = [(f.expr, f.var_ranges()) for f in bank] + variants(bank, n - len(bank))
    np.random.seed(0)
    ds = [kt.describe(e, var_ranges=r) for e, r in pairs]
    before = rss_mib()
    start = time.perf_counter()
    rows, cols, values, pruned = kt.similarity_graph(ds, 0.85)
    graph_s = time.perf_counter() - start
    graph_rss = rss_mib() - before
    start = time.perf_counter()
    matrix = kt.pairwise_matrix(ds)
    dense_s = time.perf_counter() - start
    upper = matrix[np.triu_indices(n, 1)]
    assert len(values) == int(np.sum(upper >= 0.85)), "graph and matrix disagree"
    print(f"similarity graph at 0.85 of {n} variants against the dense matrix")
    print(f"  graph: {graph_s:7.2f} s, {len(values)} edges, peak RSS growth {graph_rss:.0f} MiB")
    print(f"  dense: {dense_s:7.2f} s; the graph is {dense_s / graph_s:.1f}x faster")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10000,20000")
    parser.add_argument("--blockwise", default="10000", help="sizes to run the blockwise path at")
    parser.add_argument("--threshold", type=float, default=0.85)
    parser.add_argument("--dense", type=int, default=0)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    if args.dense:
        dense(args.dense)
        return
    sizes = [int(s) for s in args.sizes.split(",")]
    old = {int(s) for s in args.blockwise.split(",") if s}
    scaling(sizes, old, args.threshold)


if __name__ == "__main__":
    main()
