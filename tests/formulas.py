"""Formula texts as banks hold them, for tests that compare the native trees with sympy's: the
bundled Feynman bank, real symbolic-regression output (bench/data/sr_bank.csv), seeded variants
of the Feynman formulas as distinct banks hold them, and random formulas with the numbers fitted
output carries. Every text parses with the bank parser."""

import csv
import functools
import pathlib
import random
import warnings

import sympy as sp

from source.bank.feynman import load_bank
from source.bank.files import read_rows
from source.bank.parsing import FormulaError, parse_formula

ROOT = pathlib.Path(__file__).resolve().parent.parent
SR_BANK = ROOT / "bench" / "data" / "sr_bank.csv"


@functools.cache
def feynman() -> tuple[str, ...]:
    text = (ROOT / "source" / "data" / "feynman_equations.csv").read_text()
    return tuple(row["formula"] for row in csv.DictReader(text.splitlines()))


@functools.cache
def regression(step: int = 1) -> tuple[str, ...]:
    """Every `step`-th formula of the symbolic-regression bank, as the engine printed it."""
    with open(SR_BANK, newline="") as f:
        return tuple(row["formula"] for k, row in enumerate(csv.DictReader(f)) if k % step == 0)


_CHANGES = [
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


@functools.cache
def variants(n: int, seed: int = 0) -> tuple[str, ...]:
    """`n` distinct structural variants of the Feynman formulas, printed as sympy prints them."""
    rng = random.Random(seed)
    pool = [f.expr for f in load_bank()]
    seen: set[str] = set()
    out: list[str] = []
    while len(out) < n:
        expr = rng.choice(pool)
        for _ in range(rng.randint(1, 2)):
            symbols = sorted(expr.free_symbols, key=str)
            expr = rng.choice(_CHANGES)(expr, rng.choice(symbols), rng)
        text = str(expr)
        if text not in seen and len(text) < 300 and expr.free_symbols:
            seen.add(text)
            out.append(text)
    return tuple(out)


_NAMES = ["x", "y", "z", "X1", "X2", "theta", "v0", "m_1"]
_UNARY = ["sin", "cos", "exp", "log", "sqrt", "tan", "abs", "tanh", "asin", "atan", "cosh"]


def _number(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.35:
        return str(rng.randint(0, 12))
    if kind < 0.5:
        return f"{rng.choice([0.5, 0.25, 1.5, 2.0, 1.0, 3.0, 0.1])}"
    if kind < 0.9:
        return f"{rng.uniform(-20, 20):.6f}"
    return rng.choice(["pi", "2*pi", "pi/2", "1e-3", "1.9998", "0.999"])


def _random_text(rng: random.Random, depth: int) -> str:
    if depth == 0 or rng.random() < 0.2:
        return rng.choice(_NAMES) if rng.random() < 0.65 else _number(rng)
    kind = rng.random()
    a = _random_text(rng, depth - 1)
    if kind < 0.55:
        op = rng.choice(["+", "-", "*", "/", "*", "+"])
        return f"({a} {op} {_random_text(rng, depth - 1)})"
    if kind < 0.7:
        return f"({a})^{rng.choice(['2', '3', '-1', '0.5', '1.5', '-2', '(1/3)', '2.0'])}"
    if kind < 0.78:
        return f"-({a})"
    return f"{rng.choice(_UNARY)}({a})"


@functools.cache
def random_texts(n: int, seed: int = 0, depth: int = 4) -> tuple[str, ...]:
    rng = random.Random(seed)
    return tuple(_random_text(rng, depth) for _ in range(n))


def parsed(texts) -> list[sp.Expr]:
    """The expressions of those `texts` the bank parser reads."""
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for t in texts:
            try:
                out.append(parse_formula(t))
            except FormulaError:
                pass
    return out


def corpora(step: int, variants_n: int, randoms_n: int) -> dict:
    """Each corpus's expressions, by name, as lazy calls: every `step`-th regression formula,
    `variants_n` Feynman variants and `randoms_n` random formulas."""
    return {
        "feynman": lambda: parsed(feynman()),
        "regression": lambda: parsed(regression(step=step)),
        "variants": lambda: parsed(variants(variants_n)),
        "random": lambda: parsed(random_texts(randoms_n)),
    }


def rows_with_ranges(seed: int, randoms_n: int, randoms_seed: int) -> list:
    """(expression, ranges by name or None) of the real corpora with the ranges they carry, and
    of variants and random formulas with seeded random ranges (none for three in ten)."""
    out = [(f.expr, f.bounds) for f in load_bank()]
    for row in read_rows([str(SR_BANK)])[::9]:
        out.append((parse_formula(row.formula), row.bounds or None))
    rng = random.Random(seed)
    for e in parsed(variants(300) + random_texts(randoms_n, seed=randoms_seed)):
        names = sorted(str(s) for s in e.free_symbols)
        bounds = {n: tuple(sorted((rng.uniform(-3, 5), rng.uniform(0.1, 9)))) for n in names}
        out.append((e, bounds if rng.random() < 0.7 else None))
    return out
