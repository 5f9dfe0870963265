"""Three per-call scores and helpers against their plain-Python transcriptions, sympy's cache
cleared before each timed call: the behavioural distance of 25 clusters to a 30-entry library,
the compression gain of 25 clusters, and canonical variable names for 100 formulas."""

import gc
import time
import warnings

import numpy as np
from common import kt, load_bank, reference
from sympy.core.cache import clear_cache


def best_fresh(fn, calls, repeats=5):
    """Smallest total over `repeats` sweeps of fn(*args) for every args in `calls`, each call
    timed alone with sympy's cache cleared just before it."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        total = 0.0
        for args in calls:
            clear_cache()
            start = time.perf_counter()
            fn(*args)
            total += time.perf_counter() - start
        best = min(best, total)
    return best


def main():
    warnings.simplefilter("ignore")
    exprs = [f.expr for f in load_bank()]
    np.random.seed(0)
    ds = [kt.describe(e) for e in exprs]
    library = {f"l{i}": d for i, d in enumerate(ds[:30])}
    clusters = [ds[i : i + 4] for i in range(0, len(ds), 4)]
    formulas = [kt.anti_unify_cluster([c[0].expr, c[1].expr]) or c[0].expr for c in clusters]
    cases = [
        (
            "behavioral_distance (25 clusters)",
            [(c, library) for c in clusters],
            kt.behavioral_distance_between_cluster_and_library,
            reference.behavioral_distance,
        ),
        (
            "compression_gain (25 clusters)",
            list(zip(clusters, formulas)),
            kt.compression_gain,
            reference.compression_gain,
        ),
        (
            "_canonicalize_expr (100 formulas)",
            [(e, 3) for e in exprs],
            kt._canonicalize_expr,
            reference.canonicalize,
        ),
    ]
    print("per-call functions against plain Python, sympy cache cleared (target >= 2x)")
    for name, calls, native, python in cases:
        n, p = best_fresh(native, calls), best_fresh(python, calls)
        print(f"  {name:<36} native {n * 1e3:7.2f} ms  python {p * 1e3:7.2f} ms  {p / n:5.2f}x")


if __name__ == "__main__":
    main()
