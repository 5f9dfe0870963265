"""Shared set-up for the benchmarks: the module, the bundled bank, the Python reference."""
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from source import _brenmoor as kt  # noqa: E402

import reference  # noqa: E402,F401
from source.feynman import load_bank  # noqa: E402,F401


def best_of(repeats, fn):
    """Smallest wall time of `repeats` runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
