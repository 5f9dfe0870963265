"""What formula text may say: the bounds on its size, the functions bank files may call, and
the sympy vocabulary of the Python API.

Bank functions mean on their whole domain what the engines that write them define, and are
built as sympy expressions the describing can evaluate: never a complex value, never an error.

The ordinary names (``sqrt``, ``log``, ``exp``, ...) are sympy's functions. The names of the
symbolic-regression engines' hall-of-fame files follow those engines' definitions:

- The prefix form of a whole program, as genetic-programming engines print their trees
  (``sub(mul(X0, X1), div(X2, 0.5))``), uses protected operations, a fixed value where the
  plain one is undefined (EPSILON is 0.001):

  - ``div(a, b)``: a/b, and 1 where |b| <= EPSILON;
  - ``inv(a)``: 1/a, and 0 where |a| <= EPSILON (printed ``protected_inv``);
  - ``sqrt(a)``: sqrt(|a|);
  - ``log(a)``: log(|a|), and 0 where |a| <= EPSILON (printed ``protected_log``);
  - ``add``, ``sub``, ``mul``, ``neg``, ``abs``, ``max``, ``min``, ``sin``, ``cos``, ``tan``: the
    plain operations.

  A formula is in that form when it calls ``add``, ``sub``, ``mul`` or ``div``, names no
  other engine uses; ``sqrt``, ``log`` and ``inv`` are protected there only (a formula of one
  unary call, ``sqrt(X0)``, cannot say which engine wrote it and reads as written: sympy's
  function, and ``inv(a)`` as 1/a).
- The ``safe_`` operators of the engines that print infix formulas are the function on its
  domain and NaN (undefined, never complex) outside it: ``safe_sqrt(a)`` NaN for a < 0;
  ``safe_log``, ``safe_log2``, ``safe_log10`` for a <= 0; ``safe_log1p`` for a <= -1;
  ``safe_asin`` and ``safe_acos`` for |a| > 1; ``safe_acosh`` for a < 1; ``safe_atanh`` for
  |a| >= 1; ``safe_div(a, b)`` for b = 0; ``safe_pow(a, b)`` where a**b is no real number
  (a < 0 and b not an integer, a = 0 and b < 0). ``atanh_clip(a)`` is atanh(mod(a + 1, 2) - 1).
- ``logabs`` and ``sqrtabs`` are log(|a|) and sqrt(|a|), ``aq(a, b)`` the analytic quotient
  a/sqrt(1 + b**2), ``relu`` max(0, a), ``greater(a, b)`` 1 where a > b and else 0.

The guarded ones are each one node of the formula (`Guarded`), printed under a name that means
the same in any formula, so that a printed formula reads back as it was.
Functions that multiply or raise to powers (``mul``, ``div``, ``square``, ...) are built with the
builder's bounded arithmetic (`Computed`), as the operators ``*``, ``/`` and ``**`` are.
"""

import math
import re
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

# Where the protected operations of the prefix form give their fixed value: |argument| at most
# this (the threshold of the genetic-programming engines that print that form). The float, as
# those engines compare: an argument of exactly 0.001 is protected whichever way it is evaluated.
EPSILON = sp.Float(0.001)


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


class Guarded(sp.Function):
    """A function that is `value` where its `guard` holds and `otherwise` elsewhere (see the
    module). One node of the formula, whatever its arguments: decided as soon as the arguments
    the guard reads (`decided_by`) are numbers, else evaluated as numpy.where(guard, value,
    otherwise), each argument evaluated once. A guard that cannot hold (a comparison with NaN)
    is false."""

    otherwise: Any = sp.nan
    decided_by: tuple[int, ...] = (0,)

    @staticmethod
    def value(*args: Any) -> Any:
        raise NotImplementedError

    @staticmethod
    def guard(*args: Any) -> Any:
        raise NotImplementedError

    @classmethod
    def holds(cls, *args: Any) -> bool:
        try:
            return bool(cls.guard(*args))
        except TypeError:  # NaN, complex infinity or an undecided comparison
            return False

    @classmethod
    def eval(cls, *args: Any) -> Any:
        if all(args[k].is_number for k in cls.decided_by):
            return cls.value(*args) if cls.holds(*args) else cls.otherwise
        return None

    def _eval_evalf(self, prec: int) -> Any:
        args = [a.evalf(prec) for a in self.args]
        if not all(args[k].is_number for k in self.decided_by):
            return None
        return (self.value(*args) if self.holds(*args) else self.otherwise).evalf(prec)

    def _numpycode(self, printer: Any) -> str:
        # The printer's own code for the value and the guard, over one name per argument.
        names = [sp.Symbol(f"_guarded{k}") for k in range(len(self.args))]
        body = "{}({}, {}, {})".format(
            printer._module_format("numpy.where"),
            printer._print(self.guard(*names)),
            printer._print(self.value(*names)),
            printer._print(self.otherwise),
        )
        given = ", ".join(printer._print(a) for a in self.args)
        if len(self.args) > 1:  # of one shape, for the guard's logical operations
            given = f"*{printer._module_format('numpy.broadcast_arrays')}({given})"
        return f"(lambda {', '.join(map(str, names))}: {body})({given})"


def _guarded(
    name: str,
    value: Callable[..., Any],
    guard: Callable[..., Any],
    arity: int = 1,
    one: bool = False,
    zero: bool = False,
    decided_by: tuple[int, ...] | None = None,
) -> type[Guarded]:
    """A Guarded class: NaN outside its guard, or 1 or 0 (`one`, `zero`); decided by its last
    argument (a quotient's denominator) unless told otherwise."""
    members = dict(
        nargs=arity,
        value=staticmethod(value),
        guard=staticmethod(guard),
        otherwise=sp.S.One if one else sp.S.Zero if zero else sp.nan,
        decided_by=decided_by or (arity - 1,),
        __module__=__name__,
    )
    return type(name, (Guarded,), members)


def _positive(a: Any) -> Any:
    return a > 0


def _within_one(a: Any) -> Any:
    return sp.Abs(a) <= 1


def _pow_real(a: Any, b: Any) -> Any:
    return sp.Or(a > 0, sp.And(sp.Eq(a, 0), b >= 0), sp.And(a < 0, sp.Eq(b, sp.floor(b))))


# Each class under the name bank files write, which is how its formulas print and how a pickled
# formula finds it again.
div = _guarded("div", lambda a, b: a / b, lambda a, b: sp.Abs(b) > EPSILON, 2, one=True)
protected_inv = _guarded("protected_inv", lambda a: 1 / a, lambda a: sp.Abs(a) > EPSILON, zero=True)
protected_log = _guarded(
    "protected_log", lambda a: sp.log(sp.Abs(a)), lambda a: sp.Abs(a) > EPSILON, zero=True
)
safe_div = _guarded("safe_div", lambda a, b: a / b, lambda a, b: sp.Ne(b, 0), 2)
safe_pow = _guarded("safe_pow", lambda a, b: a**b, _pow_real, 2, decided_by=(0, 1))
safe_log = _guarded("safe_log", sp.log, _positive)
safe_log2 = _guarded("safe_log2", lambda a: sp.log(a, 2), _positive)
safe_log10 = _guarded("safe_log10", lambda a: sp.log(a, 10), _positive)
safe_log1p = _guarded("safe_log1p", lambda a: sp.log(1 + a), lambda a: a > -1)
safe_sqrt = _guarded("safe_sqrt", sp.sqrt, lambda a: a >= 0)
safe_asin = _guarded("safe_asin", sp.asin, _within_one)
safe_acos = _guarded("safe_acos", sp.acos, _within_one)
safe_acosh = _guarded("safe_acosh", sp.acosh, lambda a: a >= 1)
safe_atanh = _guarded("safe_atanh", sp.atanh, lambda a: sp.Abs(a) < 1)
SAFE = {
    cls.__name__: cls
    for cls in (
        safe_log,
        safe_log2,
        safe_log10,
        safe_log1p,
        safe_sqrt,
        safe_asin,
        safe_acos,
        safe_acosh,
        safe_atanh,
    )
}
GUARDED = (div, protected_inv, protected_log, safe_div, safe_pow, *SAFE.values())


def _unary(cls: type[Guarded]) -> Callable[[Any], Any]:
    def call(a: Any) -> Any:
        return cls(a)

    return call


def _quotient(cls: type[Guarded]) -> Computed:
    def build(c: Arithmetic, a: sp.Basic, b: sp.Basic) -> sp.Basic:
        c.product(a, c.power(b, sp.Integer(-1)))  # the bounds of a/b, which it may become
        return cls(a, b)

    return Computed(build)


def _protected_inverse(c: Arithmetic, a: sp.Basic) -> sp.Basic:
    c.power(a, sp.Integer(-1))
    return protected_inv(a)


def safe_power(base: sp.Basic, exponent: sp.Basic) -> sp.Basic:
    """base**exponent where it is a real number, NaN elsewhere; a plain power for an exponent
    that is a whole number, never negative (a real number everywhere)."""
    if isinstance(exponent, sp.Integer) and exponent >= 0:
        return base**exponent
    return safe_pow(base, exponent)


# Functions bank files may call, by the names formula files use for them: the usual ones and
# the operators symbolic-regression engines write in their hall-of-fame files, each as the
# module's docstring defines it. `pow` is a power and takes the bounds of `**`; `safe_pow` too,
# NaN where the power is no real number (`safe_power`).
FUNCTIONS: dict[str, Any] = dict(
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
    **{name: _unary(cls) for name, cls in SAFE.items()},
    safe_div=_quotient(safe_div),
    atanh_clip=lambda a: sp.atanh(sp.Mod(a + 1, 2) - 1),
    square=Computed(lambda c, a: c.power(a, sp.Integer(2))),
    cube=Computed(lambda c, a: c.power(a, sp.Integer(3))),
    neg=lambda a: -a,
    inv=Computed(lambda c, a: c.power(a, sp.Integer(-1))),
    # The prefix form of the operations, as engines print whole trees; its division protected.
    add=lambda a, b: a + b,
    sub=lambda a, b: a - b,
    mul=Computed(lambda c, a, b: c.product(a, b)),
    div=_quotient(div),
    # Names of the protected functions in any formula: those of its printed forms.
    protected_inv=Computed(_protected_inverse),
    protected_log=_unary(protected_log),
    relu=lambda a: sp.Max(0, a),
    Max=lambda a, b, *more: sp.Max(a, b, *more),  # and a few more as sympy prints them
    Min=lambda a, b, *more: sp.Min(a, b, *more),
    Mod=sp.Mod,
    Heaviside=sp.Heaviside,
    max=lambda a, b, *more: sp.Max(a, b, *more),
    min=lambda a, b, *more: sp.Min(a, b, *more),
    mod=sp.Mod,
    heaviside=sp.Heaviside,
    greater=lambda a, b: sp.Heaviside(a - b, 0),
    cbrt=sp.cbrt,
    logabs=lambda a: sp.log(sp.Abs(a)),
    sqrtabs=lambda a: sp.sqrt(sp.Abs(a)),
    aq=Computed(
        lambda c, a, b: c.product(a, c.power(1 + c.power(b, sp.Integer(2)), sp.Rational(-1, 2)))
    ),
    fmin=lambda a, b, *more: sp.Min(a, b, *more),
    fmax=lambda a, b, *more: sp.Max(a, b, *more),
    pow=None,
    safe_pow=None,  # built by the parser's own power rule
)
POWERS = {"pow", "safe_pow", "Pow"}
# A formula that calls one of these is written in the prefix form: there, these functions are
# the protected ones.
PREFIX_FORM = re.compile(r"\b(?:add|sub|mul|div)\s*\(")
PROTECTED = dict(
    sqrt=lambda a: sp.sqrt(sp.Abs(a)), log=_unary(protected_log), inv=Computed(_protected_inverse)
)
PREFIX_FUNCTIONS = {**FUNCTIONS, **PROTECTED}
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
