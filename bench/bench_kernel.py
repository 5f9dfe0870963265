"""The pair kernel on a bank of distinct formulas (the bundled Feynman bank and seeded structural
variants of it, duplicates rejected, so no tree repeats and interning cannot help), in one run:

  - CPU per pair of the reference per-pair path (the plain keyroot loop) against the new kernel,
    one pair after another on one thread, the two interleaved, best of three rounds each;
  - CPU per pair of the path the similarity graph can take with the early exit (the bound, then
    the tree distance only as far as the threshold needs);
  - the share of pairs the graph's bound rules out at 0.85 and 0.8: with the bound from tree
    sizes and operator-sequence lengths alone (before) and from labels and shared operators
    (after), next to the share of pairs that really fall short.

    python bench/bench_kernel.py            # 800 formulas
    python bench/bench_kernel.py --n 400
"""

import argparse
import random
import time
import warnings

import numpy as np
import sympy as sp
from common import kernels, kt, load_bank

ALPHA, BETA = 0.85, 0.15


def distinct_bank(n, seed=0):
    """`n` descriptors of distinct canonical formulas: the bundled bank, then seeded structural
    variants of it and of the variants made so far."""
    bank = load_bank()
    pool = [(f.expr, f.bounds) for f in bank]
    seen, out = set(), []

    def add(expr, ranges):
        d = kt.describe(expr, var_ranges=ranges)
        if str(d.expr) in seen:
            return False
        seen.add(str(d.expr))
        out.append(d)
        return True

    for f in bank:
        add(f.expr, f.var_ranges())
    rng = random.Random(seed)
    while len(out) < n:
        expr, bounds = rng.choice(pool)
        sym = rng.choice(sorted(expr.free_symbols, key=str))
        change = rng.choice(
            [
                lambda e: e.subs(sym, sym**2),
                lambda e: e.subs(sym, sp.sin(sym)),
                lambda e: 3 * e,
                lambda e: e + sym,
                lambda e: e.subs(sym, 2 * sym),
            ]
        )
        new = change(expr)
        names = sorted(str(s) for s in new.free_symbols)
        if add(new, {i: bounds[name] for i, name in enumerate(names)}):
            pool.append((new, bounds))
    return out[:n]


def cpu(fn):
    start = time.process_time()
    result = fn()
    return result, time.process_time() - start


def size_bound_pruned(ds, thresholds):
    """How many pairs i < j the bound from tree sizes and operator-sequence lengths alone rules
    out at each threshold, as the graph applied it: the Python transcription of that bound."""
    n = len(ds)
    sizes = np.array([sum(1 for _ in sp.preorder_traversal(d.expr)) for d in ds])
    lengths = np.array([len(d.operators) for d in ds])
    weights = np.array([float(np.exp(-0.25 * k)) for k in range(2 * sizes.max() + 1)])
    i, j = np.triu_indices(n, 1)
    na, nb, la, lb = sizes[i], sizes[j], lengths[i], lengths[j]
    tree = weights[np.where((na == 0) | (nb == 0), na + nb, np.abs(na - nb))]
    total = la + lb
    op = np.where(total == 0, 1.0, 2.0 * np.minimum(la, lb) / np.maximum(total, 1))
    field = lambda name: np.array([getattr(d, name) for d in ds], dtype=object)  # noqa: E731
    bonus = np.where(field("root_type")[i] == field("root_type")[j], 0.1, 0.0)
    bonus = bonus + np.where(field("repeated_var")[i] == field("repeated_var")[j], 0.05, 0.0)
    bonus = bonus + np.where(field("unary_depth")[i] == field("unary_depth")[j], 0.05, 0.0)
    structural = np.minimum(1.0, 0.5 * tree + 0.4 * op + bonus)
    behaviour = np.array([kt._behavioral_sim(ds[a], ds[b]) for a, b in zip(i, j)])
    return {
        t: int(
            np.sum(
                (ALPHA * structural + BETA * 1.0 < t) | (ALPHA * structural + BETA * behaviour < t)
            )
        )
        for t in thresholds
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=800)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    np.random.seed(0)
    ds = distinct_bank(args.n)
    n = len(ds)
    pairs = n * (n + 1) // 2
    dense = kt.pairwise_matrix(ds)

    best = {"reference": float("inf"), "new": float("inf")}
    for _ in range(3):
        old, t_old = cpu(lambda: kernels.pair_similarities(ds, reference=True))
        new, t_new = cpu(lambda: kernels.pair_similarities(ds))
        assert np.array_equal(old, new) and np.array_equal(new, dense), "similarities differ"
        best["reference"] = min(best["reference"], t_old)
        best["new"] = min(best["new"], t_new)
    print(
        f"{n} distinct formulas ({pairs} pairs i <= j), one thread, CPU per pair (best of 3, interleaved)"
    )
    print(f"  reference per-pair path: {best['reference'] / pairs * 1e6:7.2f} us")
    print(
        f"  new kernel:              {best['new'] / pairs * 1e6:7.2f} us   "
        f"ratio {best['new'] / best['reference']:.3f} (target <= 0.4)"
    )

    upper = np.triu_indices(n, 1)
    links = n * (n - 1) // 2
    before = size_bound_pruned(ds, (0.85, 0.8))
    for threshold in (0.85, 0.8):
        reached, t_exit = cpu(lambda: kernels.pair_similarities(ds, threshold=threshold))
        keep = dense >= threshold
        assert np.array_equal(reached[keep], dense[keep]) and np.isnan(reached[~keep]).all()
        rows, cols, values, pruned = kt.similarity_graph(ds, threshold)
        assert len(values) == int(np.sum(dense[upper] >= threshold)), "graph and matrix disagree"
        short = int(np.sum(dense[upper] < threshold))
        print(
            f"threshold {threshold}: pairs i < j ruled out by the graph's bound "
            f"{100 * before[threshold] / links:.2f} % before, {100 * pruned / links:.2f} % after "
            f"({100 * short / links:.2f} % fall short)"
        )
        print(
            f"  bound then early exit: {t_exit / pairs * 1e6:7.3f} us CPU per pair, "
            f"ratio {t_exit / best['reference']:.3f} to the reference path"
        )


if __name__ == "__main__":
    main()
