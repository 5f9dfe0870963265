"""Three per-call scores and helpers against their plain-Python transcriptions, sympy's cache
cleared before each timed run: the behavioural distance of 25 clusters to a 30-entry library,
the compression gain of 25 clusters, and canonical variable names for 100 formulas."""
import gc
import time
import warnings

import numpy as np
from sympy.core.cache import clear_cache

from common import kt, load_bank, reference


def best_fresh(fn, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        clear_cache()
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    warnings.simplefilter("ignore")
    exprs = [f.expr for f in load_bank()]
    np.random.seed(0)
    ds = [kt.describe(e) for e in exprs]
    library = {f"l{i}": d for i, d in enumerate(ds[:30])}
    clusters = [ds[i:i + 4] for i in range(0, len(ds), 4)]
    formulas = [kt.anti_unify_cluster([c[0].expr, c[1].expr]) or c[0].expr for c in clusters]
    cases = [
        ("behavioral_distance (25 clusters)",
         lambda: [kt.behavioral_distance_between_cluster_and_library(c, library) for c in clusters],
         lambda: [reference.behavioral_distance(c, library) for c in clusters]),
        ("compression_gain (25 clusters)",
         lambda: [kt.compression_gain(c, f) for c, f in zip(clusters, formulas)],
         lambda: [reference.compression_gain(c, f) for c, f in zip(clusters, formulas)]),
        ("_canonicalize_expr (100 formulas)",
         lambda: [kt._canonicalize_expr(e, source_id=3) for e in exprs],
         lambda: [reference.canonicalize(e, source_id=3) for e in exprs]),
    ]
    print("per-call functions against plain Python, sympy cache cleared (target >= 2x)")
    for name, native, python in cases:
        n, p = best_fresh(native), best_fresh(python)
        print(f"  {name:<36} native {n * 1e3:7.2f} ms  python {p * 1e3:7.2f} ms  {p / n:5.2f}x")


if __name__ == "__main__":
    main()
