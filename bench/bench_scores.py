"""Compositionality scores of generalised formulas against a library.

20 generalised formulas (with φ-wildcards, from pairs of bundled Feynman formulas) scored
against a 30-entry library of bundled formulas, against the plain-Python computation per call
(sympy sum and product, labelled trees and zss tree edit distance for every comparison).
"""

import random
import time

from common import kt, load_bank, reference


def main():
    bank = [f.expr for f in load_bank()]
    library = bank[:30]
    rng = random.Random(0)
    formulas = []
    while len(formulas) < 20:
        pair = rng.sample(bank[30:], 2)
        f = kt.anti_unify_cluster(pair)
        if f is not None and kt._is_valid_generalization(f):
            formulas.append(kt._display_canonical_expr(f))

    start = time.perf_counter()
    first = kt.compositionality_score(formulas[0], library)
    first_s = time.perf_counter() - start
    start = time.perf_counter()
    later = [kt.compositionality_score(f, library) for f in formulas[1:]]
    later_s = (time.perf_counter() - start) / len(later)

    sample = formulas[:2]
    start = time.perf_counter()
    want = [reference.compositionality_score(f, library) for f in sample]
    python_s = (time.perf_counter() - start) / len(sample)
    assert want == [first, later[0]], "scores disagree"

    n = len(library)
    print(
        f"compositionality_score: {len(formulas)} formulas, {n}-entry library "
        f"({n + n * (n - 1)} tree distances per call)"
    )
    print(f"  plain Python per call:   {python_s * 1e3:9.1f} ms  (mean of {len(sample)})")
    print(
        f"  native, first call:      {first_s * 1e3:9.2f} ms  ({python_s / first_s:6.0f}x, target >= 5x)"
    )
    print(
        f"  native, later calls:     {later_s * 1e3:9.2f} ms  ({python_s / later_s:6.0f}x, target >= 100x)"
    )


if __name__ == "__main__":
    main()
