"""The all-pairs kernel on a bank of Feynman formulas and seeded variants: CPU time per pair
and wall time of `pairwise_matrix` (each distinct pair of trees measured once) against the
previous kernel (every pair's trees measured), in one run.

    python bench/bench_matrix.py             # 3,000 formulas
    python bench/bench_matrix.py --n 10000
"""

import argparse
import time
import warnings

import numpy as np
from common import kernels, kt, load_bank, variants


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=3000)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    np.random.seed(0)
    bank = load_bank()
    pairs = [(f.expr, f.var_ranges()) for f in bank] + variants(bank, args.n - len(bank))
    ds = [kt.describe(e, var_ranges=r) for e, r in pairs]
    n = len(ds)
    count = n * (n + 1) // 2
    distinct = len({str(d.expr) for d in ds})
    new, new_wall, new_cpu = timed(lambda: kt.pairwise_matrix(ds))
    old, old_wall, old_cpu = timed(lambda: kernels.pairwise_matrix_direct(ds))
    assert np.array_equal(new, old), "matrices differ"
    print(
        f"pairwise_matrix on {n} formulas ({count} pairs, {distinct} distinct canonical formulas)"
    )
    print(
        f"  previous kernel: {old_wall:7.2f} s wall, {old_cpu / count * 1e6:6.2f} us CPU per pair"
    )
    print(
        f"  distinct trees:  {new_wall:7.2f} s wall, {new_cpu / count * 1e6:6.2f} us CPU per pair "
        f"({old_cpu / new_cpu:.1f}x less CPU; target <= 2.6 us per pair at 10,000)"
    )


if __name__ == "__main__":
    main()
