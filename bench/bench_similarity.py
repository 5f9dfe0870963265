"""All-pairs similarity: the native matrix against the plain-Python computation per pair.

Describes 300 formulas (the bundled Feynman bank and 200 variants of it), times
`pairwise_matrix` on them, and times the literal per-pair computation (zss tree edit
distance, difflib ratio, numpy) on a random sample of 200 pairs in the same run.
"""

import random
import time
import tracemalloc
import warnings

import numpy as np
from common import best_of, kt, load_bank, reference, variants


def main():
    warnings.simplefilter("ignore")
    bank = load_bank()
    exprs = [f.expr for f in bank] + [e for e, _ in variants(bank, 200)]
    np.random.seed(0)
    start = time.perf_counter()
    descriptors = [kt.describe(e) for e in exprs]
    describe_s = time.perf_counter() - start
    n = len(descriptors)
    pairs = n * (n + 1) // 2

    matrix_s = best_of(5, lambda: kt.pairwise_matrix(descriptors))
    tracemalloc.start()
    kt.pairwise_matrix(descriptors)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()

    rng = random.Random(1)
    sample = [(rng.randrange(n), rng.randrange(n)) for _ in range(200)]
    start = time.perf_counter()
    for i, j in sample:
        reference.similarity(descriptors[i], descriptors[j])
    python_pair_s = (time.perf_counter() - start) / len(sample)
    native_pair_s = matrix_s / pairs

    print(
        f"pairwise_matrix on {n} described formulas ({pairs} pairs; describing took {describe_s:.1f} s)"
    )
    print(f"  full matrix:            {matrix_s * 1e3:8.1f} ms   (target < 250 ms)")
    print(f"  per pair, native:       {native_pair_s * 1e6:8.2f} us")
    print(
        f"  per pair, plain Python: {python_pair_s * 1e6:8.1f} us  (zss + difflib + numpy, 200 pairs)"
    )
    print(f"  speed-up per pair:      {python_pair_s / native_pair_s:8.0f}x  (target >= 1000x)")
    print(
        f"  peak traced memory:     {peak / 1e6:8.2f} MB  (n*n doubles = {n * n * 8 / 1e6:.2f} MB)"
    )


if __name__ == "__main__":
    main()
