"""Cluster generalisation with the node table against the same fold scoring literally.

Clusters of 10-30 generated formulas of 20-60 nodes, each a sum of 5-7 products of 5-7
factors, the members of a cluster being variants of one template; the literal fold computes
every structural score by the recursive definition through the C API.
"""

import random
import time

import sympy as sp
from common import kernels, kt, reference

SYMS = sp.symbols("a b c d e f g")
UNARY = [sp.sin, sp.cos, sp.exp, sp.log]


def template_term(rng):
    """A product of a coefficient and 4-6 factors: 5-7 factors to pair up."""
    pool = list(SYMS) + [f(s) for f in UNARY for s in SYMS[:3]]
    return [rng.randint(2, 9)] + rng.sample(pool, rng.randint(4, 6))


def variant(rng, template):
    """A cluster member: the template's terms with other coefficients and, now and then,
    one factor swapped for another symbol."""
    terms = []
    for coefficient, *factors in template:
        if rng.random() < 0.3:
            factors[rng.randrange(len(factors))] = rng.choice(SYMS)
        terms.append(sp.Mul(rng.randint(2, 9) if rng.random() < 0.5 else coefficient, *factors))
    return sp.Add(*terms)


def clusters(count, seed=0):
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        template = [template_term(rng) for _ in range(rng.randint(5, 7))]
        members = [variant(rng, template) for _ in range(rng.randint(10, 30))]
        sizes = [sum(1 for _ in sp.preorder_traversal(e)) for e in members]
        if 20 <= min(sizes) and max(sizes) <= 60:
            out.append(members)
    return out


def timed(fn, items):
    sp.core.cache.clear_cache()  # every run starts from the same cold sympy cache
    start = time.perf_counter()
    results = [fn(c) for c in items]
    return time.perf_counter() - start, results


def main():
    work = clusters(12)
    native_s, native = timed(kt.anti_unify_cluster, work)
    literal_s, literal = timed(lambda c: kernels.anti_unify_cluster(c, literal_scores=True), work)
    python_s, python = timed(reference.anti_unify_cluster, work[:3])
    assert native == literal and native[:3] == python, "folds disagree"
    members = sum(len(c) for c in work)
    print(f"anti_unify_cluster on {len(work)} clusters ({members} formulas, sums of 5-7 terms)")
    print(f"  node-table scores:     {native_s * 1e3:8.1f} ms")
    print(f"  literal scores:        {literal_s * 1e3:8.1f} ms")
    print(f"  speed-up:              {literal_s / native_s:8.1f}x  (target >= 20x)")
    # The permutation search alone: seven factors against seven, 5,040 orderings.
    rng = random.Random(1)
    pairs = []
    for _ in range(5):
        a, b = (sp.Mul(*rng.sample(list(SYMS), 6), evaluate=False) for _ in range(2))
        pairs.append(
            (
                kt._multiplicative_args(a) + [sp.sin(SYMS[0])],
                kt._multiplicative_args(b) + [sp.cos(SYMS[1])],
            )
        )
    pair_native_s = timed(lambda p: kt._best_commutative_pairing(*p), pairs)[0]
    pair_python_s = timed(lambda p: reference.best_commutative_pairing(*p), pairs)[0]
    print(
        f"  7-argument pairing:    {pair_native_s / len(pairs) * 1e3:8.2f} ms native, "
        f"{pair_python_s / len(pairs) * 1e3:.1f} ms plain Python ({pair_python_s / pair_native_s:.0f}x)"
    )
    native3_s = timed(kt.anti_unify_cluster, work[:3])[0]
    print(
        f"  plain Python (3 clusters): {python_s * 1e3:8.1f} ms, native on the same "
        f"{native3_s * 1e3:.1f} ms ({python_s / native3_s:.1f}x)"
    )


if __name__ == "__main__":
    main()
