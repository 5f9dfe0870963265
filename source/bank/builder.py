"""Building a sympy expression from a checked syntax tree: every node is refused or built
with the bounds of `vocabulary` checked before the work it would cause."""

import ast
import functools
import inspect
import re
from typing import Any, NoReturn

import sympy as sp

from source.bank.vocabulary import (
    BITS_PER_DIGIT,
    CONSTANTS,
    COUNTED,
    FUNCTIONS,
    MAX_DEGREE,
    MAX_DEPTH,
    MAX_EXPONENT,
    MAX_FUNCTION_INTEGER,
    MAX_INTEGER_DIGITS,
    POWERS,
    PREFIX_FUNCTIONS,
    Computed,
    FormulaError,
    api_vocabulary,
    safe_power,
)

_COMPARE = {ast.Lt: sp.Lt, ast.LtE: sp.Le, ast.Gt: sp.Gt, ast.GtE: sp.Ge}
_DESCRIBE = {
    ast.Attribute: "attribute access",
    ast.Subscript: "subscripts",
    ast.Lambda: "lambdas",
    ast.ListComp: "comprehensions",
    ast.SetComp: "comprehensions",
    ast.DictComp: "comprehensions",
    ast.GeneratorExp: "comprehensions",
    ast.IfExp: "conditional expressions",
    ast.NamedExpr: "assignment expressions",
    ast.JoinedStr: "strings",
    ast.Starred: "starred arguments",
    ast.List: "lists",
    ast.Dict: "dicts",
    ast.Set: "sets",
    ast.BoolOp: "'and'/'or'",
    ast.Await: "await",
    ast.Yield: "yield",
    ast.YieldFrom: "yield",
    ast.Slice: "slices",
}


def _bits(number: sp.Rational) -> int:
    """Bits of the larger of numerator and denominator of a sympy Integer or Rational."""
    return max(abs(int(number.p)).bit_length(), abs(int(number.q)).bit_length())


def _too_big(bits: float) -> bool:
    return bits > MAX_INTEGER_DIGITS * BITS_PER_DIGIT


class Builder:
    """Builds one formula. `prefix`: the formula is written in the prefix form of engine output,
    whose functions are the protected ones (see `vocabulary`)."""

    def __init__(
        self, text: str, api: bool, keywords: dict[str, str] | None = None, prefix: bool = False
    ) -> None:
        self.text = text
        self.api = api
        self.keywords = keywords or {}  # placeholder name -> the keyword it stands for
        # Byte offset of each line, for the source text of a node (offsets count UTF-8 bytes).
        self.raw = text.encode("utf-8")
        self.lines = [0]
        for k, byte in enumerate(self.raw):
            if byte == 0x0A:
                self.lines.append(k + 1)
        if api:
            self.callables, self.constants, self.bounded = api_vocabulary()
        else:
            self.callables = PREFIX_FUNCTIONS if prefix else FUNCTIONS
            self.constants, self.bounded = CONSTANTS, {"gamma", "lgamma"}

    def refuse(self, what: str) -> NoReturn:
        raise FormulaError(what)

    def segment(self, node: Any) -> str:
        """The node's text as written (names keep their exact characters, numbers their digits)."""
        start = self.lines[node.lineno - 1] + node.col_offset
        end = self.lines[node.end_lineno - 1] + node.end_col_offset
        return self.raw[start:end].decode("utf-8")

    # Sums and products are flat chains in the syntax tree, walked without recursion so that a
    # long sum costs one level of depth.
    def build(self, node: Any, depth: int = 0) -> sp.Basic:
        if depth > MAX_DEPTH:
            self.refuse(f"the formula nests deeper than {MAX_DEPTH} levels")
        kind = type(node)
        if kind is ast.Expression:
            return self.build(node.body, depth)
        if kind is ast.BinOp:
            if type(node.op) in (ast.Add, ast.Sub):
                return self.chain(node, (ast.Add, ast.Sub), depth)
            if type(node.op) in (ast.Mult, ast.Div):
                return self.chain(node, (ast.Mult, ast.Div), depth)
            if type(node.op) is ast.Pow:
                return self.power(
                    self.build(node.left, depth + 1), self.build(node.right, depth + 1)
                )
            self.refuse(f"the operator {_operator_text(node.op)}")
        if kind is ast.UnaryOp:
            operand = self.build(node.operand, depth + 1)
            if type(node.op) is ast.USub:
                return -operand
            if type(node.op) is ast.UAdd:
                return operand
            self.refuse(f"the operator {_operator_text(node.op)}")
        if kind is ast.Constant:
            return self.constant(node)
        if kind is ast.Name:
            return self.name(self.segment(node), called=False)
        if kind is ast.Call:
            return self.call(node, depth)
        if kind is ast.Compare:
            if len(node.ops) != 1:
                self.refuse("chained comparisons")
            relation = _COMPARE.get(type(node.ops[0]))
            if relation is None:
                self.refuse(
                    f"the comparison {_operator_text(node.ops[0])} (write Eq(a, b) or Ne(a, b))"
                )
            return relation(
                self.build(node.left, depth + 1), self.build(node.comparators[0], depth + 1)
            )
        if kind is ast.Tuple:
            return sp.Tuple(*[self.build(item, depth + 1) for item in node.elts])
        self.refuse(_DESCRIBE.get(kind, f"the construct {kind.__name__}"))

    def chain(self, node: Any, ops: tuple[type[ast.operator], ...], depth: int) -> sp.Basic:
        steps = []
        while type(node) is ast.BinOp and type(node.op) in ops:
            steps.append((type(node.op), node.right))
            node = node.left
        value = self.build(node, depth + 1)
        for op, right in reversed(steps):
            other = self.build(right, depth + 1)
            if op is ast.Add:
                value = value + other
            elif op is ast.Sub:
                value = value - other
            elif op is ast.Mult:
                value = self.product(value, other)
            else:
                value = self.product(value, self.power(other, sp.Integer(-1)))
        return value

    def product(self, a: sp.Basic, b: sp.Basic) -> sp.Basic:
        # The numeric factors of both multiply (2*x times 3*y is 6*x*y).
        if _too_big(_coefficient_bits(a) + _coefficient_bits(b)):
            self.refuse(f"a number of more than {MAX_INTEGER_DIGITS} digits")
        return a * b

    def power(self, base: sp.Basic, exponent: sp.Basic) -> sp.Basic:
        if isinstance(exponent, sp.Number) and exponent.is_finite:
            if abs(exponent) > MAX_EXPONENT:
                self.refuse(f"an exponent beyond ±{MAX_EXPONENT} ({_short(exponent)})")
            # A power of a power multiplies the exponents, and a power of a product raises each
            # factor ((x**3)**500 is x**1500, (9*x)**1000 has a 955-digit coefficient): the
            # bounds hold for what sympy makes of it, checked before it is made.
            scale = abs(float(exponent))
            for factor in sp.Mul.make_args(base):
                inner = factor.exp if isinstance(factor, sp.Pow) else None
                if isinstance(inner, sp.Number) and inner.is_finite:
                    if abs(float(inner)) * scale > MAX_EXPONENT:
                        self.refuse(
                            f"an exponent beyond ±{MAX_EXPONENT} "
                            f"(({_short(factor)})**{_short(exponent)})"
                        )
            if _too_big(_coefficient_bits(base) * max(scale, 1.0)):
                self.refuse(
                    f"a number of more than {MAX_INTEGER_DIGITS} digits "
                    f"({_short(base)}**{_short(exponent)})"
                )
        return base**exponent

    def constant(self, node: ast.Constant) -> sp.Basic:
        value = node.value
        if isinstance(value, bool):
            if self.api:
                return sp.true if value else sp.false
            self.refuse(f"the constant {value}")
        if isinstance(value, (int, float)):
            text = self.segment(node)
            if isinstance(value, float):
                # sympy reads a decimal exponent exactly: 1e999999 costs minutes before it is
                # a number.
                exponent = _EXPONENT.search(text)
                if exponent and (
                    len(exponent.group(1)) > 5 or abs(int(exponent.group(1))) > MAX_INTEGER_DIGITS
                ):
                    self.refuse(
                        f"the number {cut(text)}: a decimal exponent beyond "
                        f"\u00b1{MAX_INTEGER_DIGITS}"
                    )
            # What sympy makes of the literal as written: exact integers, decimal floats.
            return sp.Integer(value) if isinstance(value, int) else sp.Float(text.replace("_", ""))
        if isinstance(value, (str, bytes)):
            self.refuse("strings")
        self.refuse(f"the constant {value!r}")

    def name(self, identifier: str, called: bool) -> Any:
        if identifier.startswith("__") and identifier.endswith("__"):
            self.refuse(f"the name {identifier}")
        if identifier in self.keywords:
            if called:
                self.refuse(f"unknown function '{self.keywords[identifier]}'")
            return sp.Symbol(self.keywords[identifier])  # lambda, in, ... as variable names
        if called:
            if identifier in self.callables:
                return self.callables[identifier]
            if not self.api:
                self.refuse(f"unknown function '{identifier}'")
            if hasattr(sp, identifier):
                self.refuse(f"the function '{identifier}'")
            return sp.Function(identifier)  # an undefined function, as sympy reads it
        constant = self.constants.get(identifier)
        if constant is not None:
            return constant
        return sp.Symbol(identifier)

    def call(self, node: ast.Call, depth: int) -> sp.Basic:
        if type(node.func) is not ast.Name:
            self.refuse("calling anything but a function name")
        if node.keywords:
            self.refuse("keyword arguments")
        name = self.segment(node.func)
        function = self.name(name, called=True)
        args = [self.build(arg, depth + 1) for arg in node.args]
        if name in POWERS and (name == "Pow") == self.api:
            if len(args) != 2:
                self.refuse(f"{name}() takes two arguments, got {len(args)}")
            value = self.power(*args)
            return safe_power(*args) if name == "safe_pow" else value
        if self.api and name in ("Integer", "Rational", "Float"):
            most = 2 if name == "Rational" else 1
            if len(args) > most or not all(isinstance(a, sp.Number) for a in args):
                self.refuse(
                    f"{name}() of anything but "
                    f"{'one or two numbers' if most == 2 else 'one number'}"
                )
        if name in self.bounded:
            self.bound_integers(name, args)
        if self.api and name in COUNTED:
            self.bound_work(name, args)
        if not self.api and not _takes(function, len(args)):
            count = f"{len(args)} argument{'s' if len(args) != 1 else ''}"
            self.refuse(f"{name}() with {count}")
        if isinstance(function, Computed):
            return function.build(self, *args)
        return function(*args)

    def bound_work(self, name: str, args: list[sp.Basic]) -> None:
        """Derivatives, sums and products whose order or count of terms input sets: bounded as
        powers and special functions are, before sympy does the work."""
        if name == "Derivative":
            orders = [a[1] for a in args[1:] if isinstance(a, sp.Tuple) and len(a) == 2]
            total = (
                sum(abs(int(n)) for n in orders if isinstance(n, sp.Integer))
                + len(args)
                - 1
                - len(orders)
            )
            if total > MAX_DEGREE:
                self.refuse(f"a derivative of order beyond {MAX_DEGREE}")
        elif (
            name == "harmonic"
            and len(args) == 2
            and isinstance(args[1], sp.Integer)
            and abs(args[1]) > MAX_DEGREE
        ):
            self.refuse(f"harmonic() of an order beyond \u00b1{MAX_DEGREE}")
        else:  # Sum, Product: each (k, a, b) of at most MAX_FUNCTION_INTEGER terms, a and b numbers
            for limits in args[1:]:
                if (
                    isinstance(limits, sp.Tuple)
                    and len(limits) == 3
                    and all(x.is_number for x in limits[1:])
                ):
                    low, high = limits[1:]
                    if not (high - low).is_finite or abs(high - low) > MAX_FUNCTION_INTEGER:
                        self.refuse(f"{name}() of more than {MAX_FUNCTION_INTEGER} terms")

    def bound_integers(self, name: str, args: list[sp.Basic]) -> None:
        symbolic = any(not getattr(a, "is_number", True) for a in args)
        limit = MAX_DEGREE if symbolic else MAX_FUNCTION_INTEGER
        for a in args:
            if isinstance(a, sp.Integer) and abs(a) > limit:
                self.refuse(f"{name}() of an integer beyond ±{limit} ({_short(a)})")


def _short(number: sp.Basic) -> str:
    text = str(number) if not (isinstance(number, sp.Integer) and _too_big(_bits(number))) else "…"
    return text if len(text) <= 20 else text[:8] + "…" + text[-8:]


def _operator_text(op: ast.AST) -> str:
    return {
        ast.FloorDiv: "//",
        ast.Mod: "%",
        ast.MatMult: "@",
        ast.LShift: "<<",
        ast.RShift: ">>",
        ast.BitOr: "|",
        ast.BitXor: "^",
        ast.BitAnd: "&",
        ast.Invert: "~",
        ast.Not: "not",
        ast.Eq: "==",
        ast.NotEq: "!=",
        ast.Is: "is",
        ast.IsNot: "is not",
        ast.In: "in",
        ast.NotIn: "not in",
    }.get(type(op), type(op).__name__)


_EXPONENT = re.compile(r"[eE][+-]?0*(\d+)\s*$")


def cut(text: str) -> str:
    return text if len(text) <= 20 else text[:8] + "\u2026" + text[-8:]


def _coefficient_bits(expr: sp.Basic) -> int:
    """Bits of the rational factor of a product (of a number itself); 0 for none."""
    if isinstance(expr, sp.Rational):
        return _bits(expr)
    if isinstance(expr, sp.Mul):
        coefficient = expr.args[0]  # sympy keeps a product's number first
        if isinstance(coefficient, sp.Rational):
            return _bits(coefficient)
    return 0


@functools.cache
def _takes(function: Any, count: int) -> bool:
    """Whether a bank function takes `count` arguments (sympy's classes check their own); read
    once per function and count, since a bank calls the same few functions in every row."""
    try:
        if isinstance(function, Computed):  # built as build(arithmetic, *args)
            inspect.signature(function.build).bind(None, *range(count))
            return True
        inspect.signature(function).bind(*range(count))
    except TypeError:
        return False
    except ValueError:  # no signature to read
        return True
    return True
