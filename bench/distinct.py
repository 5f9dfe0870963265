"""Banks of distinct formulas, as banks of symbolic-regression outputs look: the bundled Feynman
rows and seeded structural variants of them (a variable squared, wrapped in a function, scaled,
added, shifted, or a factor dropped), duplicates rejected. Variants keep the ranges of the
variables they came from.

    python bench/distinct.py 100000 bank.json      # writes a JSON bank (ids, formulas, ranges)
"""

import json
import random
import sys
import warnings

import sympy as sp

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from source.bank.feynman import load_bank

CHANGES = [
    lambda e, s, r: e.xreplace({s: s**2}),
    lambda e, s, r: e.xreplace({s: sp.sin(s)}),
    lambda e, s, r: e.xreplace({s: sp.exp(-s)}),
    lambda e, s, r: e.xreplace({s: sp.sqrt(s)}),
    lambda e, s, r: e.xreplace({s: s + r.randint(1, 9)}),
    lambda e, s, r: e.xreplace({s: r.randint(2, 9) * s}),
    lambda e, s, r: r.randint(2, 9) * e,
    lambda e, s, r: e + s,
    lambda e, s, r: e * s,
    lambda e, s, r: e / (1 + s),
    lambda e, s, r: sp.log(e) if r.random() < 0.3 else e - s**2,
]


def distinct_bank(n, seed=0):
    """`n` distinct (id, expression, ranges by variable name) triples: the Feynman rows first."""
    rng = random.Random(seed)
    feynman = load_bank()
    bounds = {}
    for f in feynman:
        bounds.update(f.bounds)
    seen, out, pool = set(), [], []
    for f in feynman[:n]:
        seen.add(str(f.expr))
        out.append((f.id, f.expr))
        pool.append(f.expr)
    while len(out) < n:
        base = rng.choice(pool)
        expr = base
        for _ in range(rng.randint(1, 2)):
            symbols = sorted(expr.free_symbols, key=str)
            if not symbols:
                break
            expr = rng.choice(CHANGES)(expr, rng.choice(symbols), rng)
        text = str(expr)
        if text in seen or len(text) > 400 or not expr.free_symbols:
            continue
        seen.add(text)
        out.append((f"d{len(out)}", expr))
        if len(pool) < 5000:
            pool.append(expr)
    return [
        (i, e, {str(s): bounds.get(str(s), (0.1, 10.0)) for s in e.free_symbols}) for i, e in out
    ]


def write_bank(n, path, seed=0):
    rows = [
        {"id": i, "formula": str(e), "ranges": {k: list(v) for k, v in r.items()}}
        for i, e, r in distinct_bank(n, seed)
    ]
    with open(path, "w") as f:
        json.dump(rows, f)
    return len(rows)


if __name__ == "__main__":
    print(write_bank(int(sys.argv[1]), sys.argv[2]), "formulas")
