"""Known or new: how often the verdict on a detected structure is right.

The bank holds variants of the 30 bundled laws: renamed, renamed and multiplied by a constant,
and renamed with one variable rescaled. Laws that equal each other up to renaming or a constant
(m*a and I*R) form one class; half of the classes go into the library, the other half are held
out, and then the halves swap; several seeds. Over the laws whose variants form a structure, a
library law should be called known and a held-out law new. The tables show the library-match
verdict on each law's own variants (what the report says of those members), the verdict on the
structure holding most of them (a structure may mix variants of several laws), and the filter's
categories (repeated counted as known, novel as new, discarded as missed); "missed" also counts
laws whose variants form no structure at all.

    python bench/bench_verdict.py            # seeds 0, 1, 2
    python bench/bench_verdict.py --seeds 5 --near 0.25

A second part times `match_library` on 1,000 candidates against the 30 laws, and on the
candidates of a distinct bank against its own detection time.
"""

import argparse
import random
import time
import warnings

import sympy as sp
from common import kt, load_bank

from source.bank.laws import load_library
from source.judge.verdicts import form_classes
from source.run.detect import detect

NAMES = [c for c in "abcdfghjklmnpqrstuwxyzABCDFGHJKLMNPRTUVWXYZ"] + [
    f"{c}{k}" for c in "xyzuw" for k in range(1, 6)
]
SCALES = [2, 3, 5, sp.Rational(1, 2), sp.Rational(3, 2), sp.Float(0.25), sp.Float(1.7), 10]


def renamed(expr, rng):
    symbols = sorted(expr.free_symbols, key=str)
    fresh = rng.sample(NAMES, len(symbols))
    return expr.xreplace({s: sp.Symbol(n) for s, n in zip(symbols, fresh)})


def law_variants(expr, rng):
    """Two renamings, two renamed multiples, two renamings with one variable rescaled."""
    out = [renamed(expr, rng) for _ in range(2)]
    out += [rng.choice(SCALES) * renamed(expr, rng) for _ in range(2)]
    for _ in range(2):
        v = rng.choice(sorted(expr.free_symbols, key=str))
        out.append(renamed(expr.xreplace({v: rng.choice(SCALES) * v}), rng))
    return out


def law_classes(laws):
    """Laws grouped by equality up to renaming and a constant: such laws cannot be told apart."""
    classes = form_classes(laws)
    return [list(c) for c in {tuple(c) for c in classes.values()}]


def verdict_table(runs):
    """Confusion counts: truth (library / held out) x call (known / new / missed)."""
    table = {(t, c): 0 for t in ("library", "held out") for c in ("known", "new", "missed")}
    for truth, call in runs:
        table[(truth, call)] += 1
    return table


def balanced_accuracy(table):
    def rate(truth, good):
        formed = table[(truth, "known")] + table[(truth, "new")]
        return table[(truth, good)] / formed if formed else float("nan")

    return (
        (rate("library", "known") + rate("held out", "new")) / 2,
        rate("library", "known"),
        rate("held out", "new"),
    )


def run_split(laws, in_library, seed, near):
    """Per law: (truth, call) by the verdict on its structure, by the verdicts on its own
    variants among the members, and by the filter's category."""
    rng = random.Random(seed)
    ids, exprs = [], []
    for name, expr in laws.items():
        for k, v in enumerate(law_variants(expr, rng)):
            ids.append(f"{name}#{k}")
            exprs.append(v)
    library = {n: laws[n] for n in laws if n in in_library}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run = detect(ids, exprs, library, verbose=False, near_threshold=near)
    category = {id(c): "known" for c in run.result.repeated}
    category.update({id(c): "new" for c in run.result.novel})
    calls = {"structure": [], "member": [], "filter": [], "formula": [], "structure verdict": []}
    for name in laws:
        truth = "library" if name in in_library else "held out"
        # Every formula's own verdict, whether or not it joined a structure.
        mine = [v for i, v in zip(ids, run.verdicts) if i.startswith(name + "#")]
        calls["formula"].append(
            (truth, "known" if 2 * sum(v.verdict == "known" for v in mine) > len(mine) else "new")
        )
        truth = "library" if name in in_library else "held out"
        # The structure holding most of this law's variants.
        best, count = None, 1
        for f in run.found:
            held = sum(ids[r].startswith(name + "#") for r in f.rows)
            if held > count:
                best, count = f, held
        if best is None:
            for key, table in calls.items():
                if key != "formula":
                    table.append((truth, "missed"))
            continue
        calls["structure verdict"].append((truth, best.verdict.verdict))
        calls["structure"].append((truth, "known" if best.match is not None else "new"))
        own = [m for r, m in zip(best.rows, best.member_matches) if ids[r].startswith(name + "#")]
        known = sum(m is not None for m in own)
        calls["member"].append((truth, "known" if 2 * known > len(own) else "new"))
        calls["filter"].append((truth, category.get(id(best.candidate), "missed")))
    return calls


def print_table(title, table):
    acc, known, new = balanced_accuracy(table)
    print(
        f"{title}: balanced accuracy {acc:.1%}  (library laws called known {known:.1%}, "
        f"held-out laws called new {new:.1%})"
    )
    print(f"    {'':10} {'known':>7} {'new':>7} {'missed':>7}")
    for truth in ("library", "held out"):
        print(
            f"    {truth:10} "
            + " ".join(f"{table[(truth, c)]:7d}" for c in ("known", "new", "missed"))
        )


def accuracy(seeds, near):
    laws = load_library()
    classes = law_classes(laws)
    calls = {"member": [], "structure": [], "filter": [], "formula": [], "structure verdict": []}
    for seed in range(seeds):
        order = classes[:]
        random.Random(seed).shuffle(order)
        halves = [{n for c in order[0::2] for n in c}, {n for c in order[1::2] for n in c}]
        for in_library in halves:
            for key, found in run_split(laws, in_library, seed, near).items():
                calls[key] += found
    print(
        f"{len(laws)} laws in {len(classes)} classes; {seeds} seeds x 2 halves; near threshold {near}"
    )
    print_table("library match, on each law's own variants", verdict_table(calls["member"]))
    print_table("library match, on the structure holding them", verdict_table(calls["structure"]))
    print_table("filter categories (repeated = known, novel = new)", verdict_table(calls["filter"]))
    print_table(
        "every formula's own verdict, most of each law's variants", verdict_table(calls["formula"])
    )
    print_table(
        "the structure's verdict from its members", verdict_table(calls["structure verdict"])
    )
    missed = sum(c == "missed" for _, c in calls["member"]) / len(calls["member"])
    print(f"laws whose variants form no structure: {missed:.1%}")


def speed():
    from banks import random_bank

    laws = load_library()
    exprs = random_bank(2000, seed=7, depth=3)
    candidates = []
    for a, b in zip(exprs[0::2], exprs[1::2]):
        formula = kt.anti_unify_cluster([a, b])
        if formula is not None:
            formula = kt._display_canonical_expr(formula)
            candidates.append(
                kt.GeneralizedCandidate(
                    formula=formula,
                    members=[a, b],
                    growth_class="",
                    novelty=0.0,
                    closest_lib="none",
                )
            )
    candidates = candidates[:1000]
    start = time.perf_counter()
    known = sum(kt.match_library(c, laws) is not None for c in candidates)
    spent = time.perf_counter() - start
    print(
        f"match_library: {len(candidates)} candidates against {len(laws)} laws in {spent:.3f} s "
        f"({known} known)"
    )
    bank = [f.expr for f in load_bank()]
    bank = (
        bank
        + [2 * e for e in bank]
        + [e.xreplace({s: s**2 for s in list(e.free_symbols)[:1]}) for e in bank]
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        run = detect(list(range(len(bank))), bank, laws, verbose=False)
        detection = time.perf_counter() - start
        start = time.perf_counter()
        [kt.match_library(f.candidate, laws) for f in run.found]
        matching = time.perf_counter() - start
    print(
        f"on {len(bank)} Feynman formulas and variants: detection {detection:.2f} s, matching its "
        f"{len(run.found)} structures {matching:.3f} s (ratio {matching / detection:.3f})"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--near", type=float, default=kt.NEAR_THRESHOLD)
    args = parser.parse_args()
    accuracy(args.seeds, args.near)
    speed()


if __name__ == "__main__":
    main()
