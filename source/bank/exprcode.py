"""Expressions as plain JSON data, and back, for a run's kept state.

An expression is written as its tree in postfix order: numbers, plain symbols, named constants
and the nodes of a closed list of operations (sums, products, powers and the functions bank
files may call). Reading builds each node from its already built arguments without evaluating
again, so that the expression read is the one written, in a small fraction of the time parsing
its text takes. Nothing outside those lists can be built from the data: reading resolves
names in fixed tables, never by import or lookup, and an unknown entry is an error.

An expression with any other part is not encoded (`encode` returns None); the caller keeps its
text and parses it again with the safe parser.
"""

from typing import Any

import sympy as sp

from source.bank.vocabulary import GUARDED

# Operations by the names written, with the class that builds them.
OPERATIONS = {
    cls.__name__: cls
    for cls in (
        sp.Add,
        sp.Mul,
        sp.Pow,
        sp.exp,
        sp.log,
        sp.Abs,
        sp.sign,
        sp.floor,
        sp.ceiling,
        sp.sin,
        sp.cos,
        sp.tan,
        sp.cot,
        sp.sec,
        sp.csc,
        sp.asin,
        sp.acos,
        sp.atan,
        sp.sinh,
        sp.cosh,
        sp.tanh,
        sp.asinh,
        sp.acosh,
        sp.atanh,
        sp.erf,
        sp.erfc,
        sp.gamma,
        sp.loggamma,
        sp.Max,
        sp.Min,
        sp.Mod,
        sp.Heaviside,
        *GUARDED,  # the protected operations, by the names bank files write
    )
}

# Constants and singleton numbers, by class name.
CONSTANTS = {
    type(c).__name__: c
    for c in (
        sp.pi,
        sp.E,
        sp.I,
        sp.EulerGamma,
        sp.GoldenRatio,
        sp.Catalan,
        sp.oo,
        -sp.oo,
        sp.zoo,
        sp.nan,
        sp.S.Half,
        sp.S.One,
        sp.S.Zero,
        sp.S.NegativeOne,
    )
}

_PLAIN = sp.Symbol("x")._assumptions0
MAX_TOKENS = 1_000_000  # of one expression read back; the parser bounds what is written
# Levels of one expression read back: twice the parser's nesting, for sympy's own levels.
MAX_DEPTH = 400


class CodeError(ValueError):
    """Data that is not an encoded expression."""


def _tokens(expr: sp.Basic, out: list[list[Any]]) -> None:
    kind = type(expr)
    name = kind.__name__
    if name in CONSTANTS and CONSTANTS[name] is expr:
        out.append(["c", name])
    elif kind is sp.Integer:
        out.append(["i", str(int(expr))])
    elif kind is sp.Rational:
        out.append(["q", str(expr.p), str(expr.q)])
    elif kind is sp.Float:
        sign, mantissa, exponent, bits = expr._mpf_
        out.append(["f", sign, hex(mantissa), exponent, bits, expr._prec])
    elif kind is sp.Symbol and expr._assumptions0 == _PLAIN:
        out.append(["s", expr.name])
    elif OPERATIONS.get(name) is kind and expr.args:
        for a in expr.args:
            _tokens(a, out)
        out.append(["o", name, len(expr.args)])
    else:
        raise CodeError(f"cannot encode {name}")


def encode(expr: sp.Basic) -> list[list[Any]] | None:
    """The expression as a list of tokens, or None when it has a part this code does not
    write or does not read back exactly."""
    tokens: list[list[Any]] = []
    try:
        _tokens(expr, tokens)
        back = decode(tokens)
    except (CodeError, RecursionError, TypeError, ValueError):
        return None
    return tokens if back == expr and type(back) is type(expr) else None


def _int(text: object) -> int:
    if not isinstance(text, str) or len(text) > 5000:
        raise CodeError("a malformed integer")
    return int(text)


def decode(tokens: object) -> sp.Basic:
    """The expression of `encode`'s tokens; CodeError for anything else."""
    if not isinstance(tokens, list) or not tokens or len(tokens) > MAX_TOKENS:
        raise CodeError("not a list of tokens")
    stack: list[sp.Basic] = []  # the expressions built
    depths: list[int] = []  # and how deep each is
    try:
        for t in tokens:
            tag = t[0]
            if tag != "o":
                depths.append(1)
            if tag == "c":
                stack.append(CONSTANTS[t[1]])
            elif tag == "i":
                stack.append(sp.Integer(_int(t[1])))
            elif tag == "q":
                stack.append(sp.Rational(_int(t[1]), _int(t[2])))
            elif tag == "f":
                sign, mantissa, exponent, bits, prec = t[1:]
                if not (
                    sign in (0, 1)
                    and isinstance(mantissa, str)
                    and len(mantissa) < 5000
                    and all(isinstance(v, int) for v in (exponent, bits, prec))
                    and 0 < prec <= 10_000
                ):
                    raise CodeError("a malformed float")
                stack.append(sp.Float._new((sign, int(mantissa, 16), exponent, bits), prec))
            elif tag == "s":
                if not isinstance(t[1], str):
                    raise CodeError("a malformed symbol")
                stack.append(sp.Symbol(t[1]))
            elif tag == "o":
                cls, count = OPERATIONS[t[1]], t[2]
                if not isinstance(count, int) or not 0 < count <= len(stack):
                    raise CodeError("an operation without its arguments")
                args = stack[len(stack) - count :]
                del stack[len(stack) - count :]
                depth = 1 + max(depths[len(depths) - count :])
                if depth > MAX_DEPTH:
                    raise CodeError(f"an expression nested deeper than {MAX_DEPTH} levels")
                del depths[len(depths) - count :]
                stack.append(cls(*args, evaluate=False))
                depths.append(depth)
            else:
                raise CodeError(f"an unknown token {tag!r}")
    except (KeyError, IndexError, TypeError, ValueError, OverflowError) as e:
        if isinstance(e, CodeError):
            raise
        raise CodeError(f"a malformed token: {e}") from None
    if len(stack) != 1:
        raise CodeError("tokens that do not make one expression")
    return stack[0]
