"""Detection end to end: stage times of detect_structure + filter_candidates on a bank of
Feynman formulas and seeded structural variants (with their variable ranges) against a
30-entry library of laws, and the native scoring and filtering of 5 candidates against the
literal per-call computation (sympy composition, to_zss and zss.simple_distance per pair).

    python bench/bench_pipeline.py            # 1,000 formulas
    python bench/bench_pipeline.py --n 10000  # also reports the process's peak memory
"""

import argparse
import resource
import time
import warnings

import numpy as np
import sympy as sp
import zss
from common import kt, load_bank, reference, variants

from source.bank.laws import load_library

# The functions detect_structure calls through the module namespace, grouped by stage.
STAGES = {
    "describe": ["describe"],
    "matrix": ["pairwise_matrix"],
    "clustering": ["cluster_by_similarity"],
    "generalisation": [
        "_canonicalize_expr",
        "anti_unify_cluster",
        "_is_valid_generalization",
        "_display_canonical_expr",
    ],
}


def timed_stages():
    """Wraps the stage functions so that each call adds its wall time to its stage."""
    spent = dict.fromkeys(STAGES, 0.0)
    originals = {}
    for stage, names in STAGES.items():
        for name in names:
            fn = originals[name] = getattr(kt, name)

            def wrapper(*args, _fn=fn, _stage=stage, **kwargs):
                start = time.perf_counter()
                try:
                    return _fn(*args, **kwargs)
                finally:
                    spent[_stage] += time.perf_counter() - start

            setattr(kt, name, wrapper)
    return spent, lambda: [setattr(kt, n, f) for n, f in originals.items()]


def literal_scoring(candidates, library):
    """Per candidate: the closest library entry and the smallest composition distance, with
    sympy compositions and zss per pair, as the documented steps compute them."""
    lib_exprs = list(library.values())
    for c in candidates:
        norm = kt._normalize_wildcards(c.formula)
        [zss.simple_distance(kt.to_zss(norm), kt.to_zss(le)) for le in lib_exprs]
        reference.min_composition_distance(kt, c.formula, lib_exprs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1000, help="bank size (default 1000)")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    np.random.seed(0)
    bank = load_bank()
    pairs = [(f.expr, f.var_ranges()) for f in bank] + variants(bank, max(0, args.n - len(bank)))
    exprs, ranges = [e for e, _ in pairs], [r for _, r in pairs]
    library = load_library()

    spent, restore = timed_stages()
    start = time.perf_counter()
    candidates = kt.detect_structure(exprs, library, ranges)  # prints the similarity summary
    total = time.perf_counter() - start
    restore()
    start = time.perf_counter()
    result = kt.filter_candidates(candidates, library)
    spent["filter"] = time.perf_counter() - start
    spent["summary+scoring"] = total - sum(spent[s] for s in STAGES)

    print(
        f"detect_structure + filter_candidates: {len(exprs)} formulas, {len(library)} laws, "
        f"{len(candidates)} candidates ({len(result.novel)} novel, {len(result.repeated)} repeated)"
    )
    for stage in [
        "describe",
        "matrix",
        "clustering",
        "generalisation",
        "summary+scoring",
        "filter",
    ]:
        print(f"  {stage:<16}{spent[stage]:8.2f} s")
    print(f"  {'total':<16}{total + spent['filter']:8.2f} s   (target < 10 s at 1,000 formulas)")
    if args.n > 1000:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"  peak resident memory: {peak:8.0f} MiB")

    # Scoring and filtering of 5 candidates, against a fresh copy of the library so that the
    # native side starts with nothing cached.
    five = (candidates * 5)[:5]
    fresh = {
        name: sp.sympify(str(e), locals={s.name: s for s in e.free_symbols})
        for name, e in library.items()
    }
    start = time.perf_counter()
    for c in five:
        kt.compositionality_score(c.formula, list(fresh.values()))
    kt.filter_candidates(five, fresh, min_members=0, max_wildcard_density=1.0)
    native = time.perf_counter() - start
    start = time.perf_counter()
    literal_scoring(five, fresh)
    literal = time.perf_counter() - start
    print(
        f"scoring + filtering 5 candidates: native {native * 1e3:.1f} ms, "
        f"literal {literal:.2f} s, {literal / native:.0f}x  (target >= 100x)"
    )


if __name__ == "__main__":
    main()
