"""Shared set-up for the benchmarks: the module, the bundled bank, the Python reference."""

import os
import random
import sys
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
# The test-only extension (kernel hooks, reference paths), built by `make bench` into build/testing.
sys.path.insert(
    0,
    os.environ.get("KELTRAN_TESTING_DIR")
    or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "testing"),
)

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import _brenmoor_testing as kernels  # noqa: E402,F401

    from source import _brenmoor as kt  # noqa: E402

import reference  # noqa: E402,F401
import sympy as sp  # noqa: E402

from source.bank.feynman import load_bank  # noqa: E402,F401


def variants(bank, count, seed=0):
    """`count` seeded structural variants of the bank's formulas, each with the ranges of its
    variables taken from the formula it was made from."""
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        f = rng.choice(bank)
        sym = rng.choice(sorted(f.expr.free_symbols, key=str))
        change = rng.choice(
            [
                lambda e: e.subs(sym, sym**2),
                lambda e: e.subs(sym, sp.sin(sym)),
                lambda e: 3 * e,
                lambda e: e + sym,
                lambda e: e.subs(sym, 2 * sym),
            ]
        )
        expr = change(f.expr)
        names = sorted(str(s) for s in expr.free_symbols)
        out.append((expr, {i: f.bounds[name] for i, name in enumerate(names)}))
    return out


def best_of(repeats, fn):
    """Smallest wall time of `repeats` runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
