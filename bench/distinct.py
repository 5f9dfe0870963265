"""Banks of distinct formulas, as banks of symbolic-regression outputs look: the bundled Feynman
rows and seeded structural variants of them (a variable squared, wrapped in a function, scaled,
added, shifted, or a factor dropped), duplicates rejected. Variants keep the ranges of the
variables they came from.

Past 100,000 rows, variants are made on the text (a variable's name replaced by a change of
it, the whole formula changed), duplicate texts rejected: a sympy variant costs tens of
milliseconds, which a million rows would make hours.

    python bench/distinct.py 100000 bank.json      # writes a JSON bank (ids, formulas, ranges)
"""

import json
import os
import random
import re
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


SYMBOLIC = 100_000  # rows made by sympy; the rest textually

TEXT_CHANGES = [
    lambda f, v, r: _replace(f, v, f"{v}**2"),
    lambda f, v, r: _replace(f, v, f"sin({v})"),
    lambda f, v, r: _replace(f, v, f"exp(-{v})"),
    lambda f, v, r: _replace(f, v, f"sqrt({v})"),
    lambda f, v, r: _replace(f, v, f"{v} + {r.randint(1, 9)}"),
    lambda f, v, r: _replace(f, v, f"{r.randint(2, 9)}*{v}"),
    lambda f, v, r: f"{r.randint(2, 9)}*({f})",
    lambda f, v, r: f"{f} + {v}",
    lambda f, v, r: f"({f})*{v}",
    lambda f, v, r: f"({f})/(1 + {v})",
    lambda f, v, r: f"{f} - {v}**2",
]


def _replace(formula, name, by):
    return re.sub(rf"\b{re.escape(name)}\b", f"({by})", formula)


def textual_variants(rows, n, seed=0):
    """`rows` (bank rows as written) grown to `n` by textual variants of them."""
    rng = random.Random(seed)
    seen = {row["formula"] for row in rows}
    out = list(rows)
    while len(out) < n:
        base = rng.choice(rows)
        names = sorted(base["ranges"])
        if not names:
            continue
        formula = base["formula"]
        for _ in range(rng.randint(1, 2)):
            formula = rng.choice(TEXT_CHANGES)(formula, rng.choice(names), rng)
        if formula in seen or len(formula) > 400:
            continue
        seen.add(formula)
        out.append({"id": f"t{len(out)}", "formula": formula, "ranges": base["ranges"]})
    return out


def write_bank(n, path, seed=0):
    """Writes `n` distinct rows to `path`; past SYMBOLIC rows, grows the SYMBOLIC-row bank
    written beside it, if there is one, rather than making it again."""
    beside = os.path.join(os.path.dirname(path), f"distinct_{SYMBOLIC}.json")
    if n > SYMBOLIC and seed == 0 and os.path.exists(beside):
        with open(beside) as f:
            rows = json.load(f)
    else:
        rows = [
            {"id": i, "formula": str(e), "ranges": {k: list(v) for k, v in r.items()}}
            for i, e, r in distinct_bank(min(n, SYMBOLIC), seed)
        ]
    if n > SYMBOLIC:
        rows = textual_variants(rows, n, seed)
    with open(path, "w") as f:
        json.dump(rows, f)
    return len(rows)


if __name__ == "__main__":
    print(write_bank(int(sys.argv[1]), sys.argv[2]), "formulas")
