"""What formula text may say: the bounds on its size, the functions bank files may call, and
the sympy vocabulary of the Python API."""

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

import sympy as sp

# Bounds on what a formula may ask for.
MAX_LENGTH = 100_000  # characters of formula text
MAX_DEPTH = 200  # nesting of operations (sums and products count once however long)
# Digits of any integer the formula builds; Python prints ints up to 4,300 digits
MAX_INTEGER_DIGITS = 4_000
MAX_EXPONENT = 1_000  # absolute value of a numeric exponent
MAX_FUNCTION_INTEGER = 1_000  # integer arguments of factorial-like and special functions
MAX_DEGREE = 20  # ... when the function also takes a symbol: it expands a polynomial
MAX_WORK = 250_000  # nodes times distinct variables: describing a formula costs about that

BITS_PER_DIGIT = math.log2(10)


class FormulaError(ValueError):
    """Formula text that is refused or cannot be read; the message says why."""


class Arithmetic(Protocol):
    """The builder's bounded products and powers, which `Computed` functions build with."""

    def product(self, a: sp.Basic, b: sp.Basic) -> sp.Basic: ...

    def power(self, base: sp.Basic, exponent: sp.Basic) -> sp.Basic: ...


@dataclass(frozen=True)
class Computed:
    """A bank function that multiplies or raises to a power: built as
    ``build(arithmetic, *args)``, each product and power bounded as the formula's own."""

    build: Callable[..., sp.Basic]


# Functions bank files may call, by the names formula files use for them: the usual ones and
# the operators symbolic-regression tools write in their hall-of-fame files. The "safe" and
# clipped variants (which only guard a domain numerically) read as the plain functions. `pow`
# is a power and takes the bounds of `**`; the functions that multiply or raise to a power are
# `Computed` with the bounds of `*` and `**`.
FUNCTIONS = dict(
    exp=sp.exp,
    log=sp.log,
    ln=sp.log,
    sqrt=sp.sqrt,
    abs=sp.Abs,
    Abs=sp.Abs,
    sign=sp.sign,
    floor=sp.floor,
    ceil=sp.ceiling,
    ceiling=sp.ceiling,
    sin=sp.sin,
    cos=sp.cos,
    tan=sp.tan,
    cot=sp.cot,
    sec=sp.sec,
    csc=sp.csc,
    asin=sp.asin,
    acos=sp.acos,
    atan=sp.atan,
    arcsin=sp.asin,
    arccos=sp.acos,
    arctan=sp.atan,
    sinh=sp.sinh,
    cosh=sp.cosh,
    tanh=sp.tanh,
    asinh=sp.asinh,
    acosh=sp.acosh,
    atanh=sp.atanh,
    arcsinh=sp.asinh,
    arccosh=sp.acosh,
    arctanh=sp.atanh,
    erf=sp.erf,
    erfc=sp.erfc,
    gamma=sp.gamma,
    lgamma=sp.loggamma,
    log10=lambda a: sp.log(a, 10),
    log2=lambda a: sp.log(a, 2),
    log1p=lambda a: sp.log(1 + a),
    expm1=lambda a: sp.exp(a) - 1,
    safe_log=sp.log,
    safe_log10=lambda a: sp.log(a, 10),
    safe_log2=lambda a: sp.log(a, 2),
    safe_log1p=lambda a: sp.log(1 + a),
    safe_sqrt=sp.sqrt,
    safe_asin=sp.asin,
    safe_acos=sp.acos,
    safe_acosh=sp.acosh,
    safe_atanh=sp.atanh,
    atanh_clip=sp.atanh,
    square=Computed(lambda c, a: c.power(a, sp.Integer(2))),
    cube=Computed(lambda c, a: c.power(a, sp.Integer(3))),
    neg=lambda a: -a,
    inv=Computed(lambda c, a: c.power(a, sp.Integer(-1))),
    # The prefix form of the four operations, as engines print whole trees.
    add=lambda a, b: a + b,
    sub=lambda a, b: a - b,
    mul=Computed(lambda c, a, b: c.product(a, b)),
    div=Computed(lambda c, a, b: c.product(a, c.power(b, sp.Integer(-1)))),
    relu=lambda a: sp.Max(0, a),
    max=sp.Max,
    min=sp.Min,
    mod=sp.Mod,
    heaviside=sp.Heaviside,
    greater=lambda a, b: sp.Heaviside(a - b, 0),
    cbrt=sp.cbrt,
    logabs=lambda a: sp.log(sp.Abs(a)),
    sqrtabs=lambda a: sp.sqrt(sp.Abs(a)),
    aq=Computed(
        lambda c, a, b: c.product(a, c.power(1 + c.power(b, sp.Integer(2)), sp.Rational(-1, 2)))
    ),
    fmin=sp.Min,
    fmax=sp.Max,
    pow=None,
    safe_pow=None,  # built by the parser's own power rule
)
POWERS = {"pow", "safe_pow", "Pow"}
CONSTANTS = {"pi": sp.pi}


# ---- the sympy vocabulary of the Python API ------------------------------------------------

_SYMPY_CALLABLE_MODULES = (
    "sympy.functions.elementary",
    "sympy.functions.special",
    "sympy.functions.combinatorial",
    "sympy.core.add",
    "sympy.core.mul",
    "sympy.core.power",
    "sympy.core.mod",
    "sympy.core.relational",
    "sympy.logic.boolalg",
    "sympy.concrete",
    "sympy.integrals.integrals",
)
# Calls whose work grows with an order or a count of terms that the text gives (`bound_work`).
COUNTED = {"Derivative", "Sum", "Product", "harmonic"}
_SYMPY_CALLABLE_EXTRA = {
    "sqrt",
    "cbrt",
    "root",
    "real_root",
    "Derivative",
    "Integer",
    "Rational",
    "Float",
    "Piecewise",
}
# Special and combinatorial functions: their integer arguments are bounded.
_INTEGER_BOUNDED_MODULES = ("sympy.functions.special", "sympy.functions.combinatorial")
_API: tuple[dict[str, Any], dict[str, Any], set[str]] | None = None


def api_vocabulary() -> tuple[dict[str, Any], dict[str, Any], set[str]]:
    """(callables, constants, integer-bounded callables) of sympy's namespace, built once."""
    global _API
    if _API is None:
        callables, constants, bounded = {}, {}, set()
        for name in dir(sp):
            if name.startswith("_"):
                continue
            value = getattr(sp, name)
            if isinstance(value, (sp.Expr, sp.logic.boolalg.BooleanAtom)):
                constants[name] = value
                continue
            module = getattr(value, "__module__", "") or ""
            is_class = isinstance(value, type) and issubclass(value, sp.Basic)
            if name in _SYMPY_CALLABLE_EXTRA or (
                is_class and module.startswith(_SYMPY_CALLABLE_MODULES)
            ):
                callables[name] = value
                if module.startswith(_INTEGER_BOUNDED_MODULES):
                    bounded.add(name)
        _API = callables, constants, bounded
    return _API
