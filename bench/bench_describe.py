"""Cost of `describe` per expression, against one lambdify + call of the same expression.

Runs over the bundled Feynman bank, with and without each formula's variable ranges, and
against a plain-Python transcription of the same steps.
"""

import warnings

import numpy as np
import sympy as sp
from common import best_of, kt, load_bank, reference


def lambdify_once(expr, n=64):
    syms = sorted(expr.free_symbols, key=str)
    arrays = [np.logspace(-1, 2, n)] * len(syms)
    f = sp.lambdify(syms, expr, modules=["numpy"], dummify=True)
    return f(*arrays)


def python_describe(expr, ranges):
    norm = kt._canonicalize_expr(expr)
    kt.extract_structure(norm)
    return reference.extract_behavior(expr, ranges)


def main():
    bank = load_bank()
    warnings.simplefilter("ignore")
    rows = []
    for label, with_ranges in (("without ranges", False), ("with ranges", True)):
        jobs = [(f.expr, f.var_ranges() if with_ranges else None) for f in bank]
        floor = best_of(3, lambda: [lambdify_once(e) for e, _ in jobs])
        native = best_of(3, lambda: [kt.describe(e, r) for e, r in jobs])
        python = best_of(3, lambda: [python_describe(e, r) for e, r in jobs])
        n = len(jobs)
        rows.append((label, 1e3 * floor / n, 1e3 * native / n, 1e3 * python / n))
    print(f"describe over {len(bank)} Feynman formulas (ms per expression)")
    print(f"{'':<16}{'lambdify+call':>14}{'describe':>10}{'ratio':>8}{'python':>9}{'ratio':>8}")
    for label, floor, native, python in rows:
        print(
            f"{label:<16}{floor:>14.3f}{native:>10.3f}{native / floor:>8.2f}"
            f"{python:>9.3f}{python / floor:>8.2f}"
        )


if __name__ == "__main__":
    main()
