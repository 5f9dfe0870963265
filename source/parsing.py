"""The one way text becomes a formula: a parser that checks the syntax tree before it builds
anything, so that no text from a file, an argument or a model is ever evaluated as Python.

Two vocabularies:

- ``parse_formula`` reads bank and library files: every name is a variable unless it is called
  and named in ``FUNCTIONS`` (so variables may be called gamma, E, I, beta or lambda);
  ``pi`` is the only constant.
- ``parse_expression`` reads formula text given to the Python API (``describe``, concept
  discovery): names mean what they mean in sympy (``E`` is Euler's number, ``I`` the imaginary
  unit, ``gamma(x)`` the gamma function); a called name sympy does not know is an undefined
  function, any other unknown name a variable.

Accepted: numbers, names, ``+ - * / **`` (``^`` too), unary minus and plus, parentheses,
comparisons, tuples and calls of known functions. Refused with ``FormulaError`` (a
``ValueError``): attribute access, subscripts, strings, lambdas, comprehensions, conditionals,
assignment expressions, keyword and starred arguments, dunder names, and sizes beyond the bounds
below, checked before the work they would cause is done.
"""
import ast
import io
import math
import re
import tokenize

import sympy as sp

# Bounds on what a formula may ask for.
MAX_LENGTH = 100_000        # characters of formula text
MAX_DEPTH = 200             # nesting of operations (sums and products count once however long)
MAX_INTEGER_DIGITS = 4_000  # of any integer the formula builds; Python prints ints up to 4,300 digits
MAX_EXPONENT = 1_000        # absolute value of a numeric exponent
MAX_FUNCTION_INTEGER = 1_000  # integer arguments of factorial-like and special functions
MAX_DEGREE = 20             # ... when the function also takes a symbol: it expands a polynomial

_BITS_PER_DIGIT = math.log2(10)


class FormulaError(ValueError):
    """Formula text that is refused or cannot be read; the message says why."""


# Functions bank files may call, by the names formula files use for them.
FUNCTIONS = dict(
    exp=sp.exp, log=sp.log, ln=sp.log, sqrt=sp.sqrt, abs=sp.Abs, Abs=sp.Abs, sign=sp.sign,
    floor=sp.floor, ceil=sp.ceiling, ceiling=sp.ceiling,
    sin=sp.sin, cos=sp.cos, tan=sp.tan, asin=sp.asin, acos=sp.acos, atan=sp.atan,
    arcsin=sp.asin, arccos=sp.acos, arctan=sp.atan, sinh=sp.sinh, cosh=sp.cosh, tanh=sp.tanh,
    erf=sp.erf, erfc=sp.erfc, gamma=sp.gamma,
    square=lambda a: a ** 2, cube=lambda a: a ** 3, neg=lambda a: -a, inv=lambda a: 1 / a,
)
CONSTANTS = {"pi": sp.pi}


# ---- the sympy vocabulary of the Python API ------------------------------------------------

_SYMPY_CALLABLE_MODULES = ("sympy.functions.elementary", "sympy.functions.special",
                           "sympy.functions.combinatorial", "sympy.core.add", "sympy.core.mul",
                           "sympy.core.power", "sympy.core.mod", "sympy.core.relational",
                           "sympy.logic.boolalg", "sympy.concrete", "sympy.integrals.integrals")
_SYMPY_CALLABLE_EXTRA = {"sqrt", "cbrt", "root", "real_root", "Derivative", "Integer", "Rational",
                         "Float", "Piecewise"}
# Special and combinatorial functions: their integer arguments are bounded.
_INTEGER_BOUNDED_MODULES = ("sympy.functions.special", "sympy.functions.combinatorial")
_API = None


def _api_vocabulary():
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
            if name in _SYMPY_CALLABLE_EXTRA or (is_class and module.startswith(_SYMPY_CALLABLE_MODULES)):
                callables[name] = value
                if module.startswith(_INTEGER_BOUNDED_MODULES):
                    bounded.add(name)
        _API = callables, constants, bounded
    return _API


# ---- the parser ------------------------------------------------------------------------------

_COMPARE = {ast.Lt: sp.Lt, ast.LtE: sp.Le, ast.Gt: sp.Gt, ast.GtE: sp.Ge}
_DESCRIBE = {
    ast.Attribute: "attribute access", ast.Subscript: "subscripts", ast.Lambda: "lambdas",
    ast.ListComp: "comprehensions", ast.SetComp: "comprehensions", ast.DictComp: "comprehensions",
    ast.GeneratorExp: "comprehensions", ast.IfExp: "conditional expressions",
    ast.NamedExpr: "assignment expressions", ast.JoinedStr: "strings", ast.Starred: "starred arguments",
    ast.List: "lists", ast.Dict: "dicts", ast.Set: "sets", ast.BoolOp: "'and'/'or'",
    ast.Await: "await", ast.Yield: "yield", ast.YieldFrom: "yield", ast.Slice: "slices",
}


def _bits(number):
    """Bits of the larger of numerator and denominator of a sympy Integer or Rational."""
    return max(abs(int(number.p)).bit_length(), abs(int(number.q)).bit_length())


def _too_big(bits):
    return bits > MAX_INTEGER_DIGITS * _BITS_PER_DIGIT


class _Builder:
    def __init__(self, text, api):
        self.text = text
        self.api = api
        # Byte offset of each line, for the source text of a node (offsets count UTF-8 bytes).
        self.raw = text.encode("utf-8")
        self.lines = [0]
        for k, byte in enumerate(self.raw):
            if byte == 0x0A:
                self.lines.append(k + 1)
        if api:
            self.callables, self.constants, self.bounded = _api_vocabulary()
        else:
            self.callables, self.constants, self.bounded = FUNCTIONS, CONSTANTS, {"gamma"}

    def refuse(self, what):
        raise FormulaError(what)

    def segment(self, node):
        """The node's text as written (names keep their exact characters, numbers their digits)."""
        start = self.lines[node.lineno - 1] + node.col_offset
        end = self.lines[node.end_lineno - 1] + node.end_col_offset
        return self.raw[start:end].decode("utf-8")

    # Sums and products are flat chains in the syntax tree, walked without recursion so that a
    # long sum costs one level of depth.
    def build(self, node, depth=0):
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
                return self.power(self.build(node.left, depth + 1), self.build(node.right, depth + 1))
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
                self.refuse(f"the comparison {_operator_text(node.ops[0])} (write Eq(a, b) or Ne(a, b))")
            return relation(self.build(node.left, depth + 1), self.build(node.comparators[0], depth + 1))
        if kind is ast.Tuple:
            return sp.Tuple(*[self.build(item, depth + 1) for item in node.elts])
        self.refuse(_DESCRIBE.get(kind, f"the construct {kind.__name__}"))

    def chain(self, node, ops, depth):
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

    def product(self, a, b):
        if isinstance(a, sp.Rational) and isinstance(b, sp.Rational) and _too_big(_bits(a) + _bits(b)):
            self.refuse(f"a number of more than {MAX_INTEGER_DIGITS} digits")
        return a * b

    def power(self, base, exponent):
        if isinstance(exponent, sp.Number) and exponent.is_finite and abs(exponent) > MAX_EXPONENT:
            self.refuse(f"an exponent beyond ±{MAX_EXPONENT} ({_short(exponent)})")
        if isinstance(base, sp.Rational) and isinstance(exponent, sp.Integer):
            if _too_big(_bits(base) * abs(int(exponent))):
                self.refuse(f"a number of more than {MAX_INTEGER_DIGITS} digits "
                            f"({_short(base)}**{_short(exponent)})")
        return base ** exponent

    def constant(self, node):
        value = node.value
        if isinstance(value, bool):
            if self.api:
                return sp.true if value else sp.false
            self.refuse(f"the constant {value}")
        if isinstance(value, (int, float)):
            text = self.segment(node)
            # What sympy makes of the literal as written: exact integers, decimal floats.
            return sp.Integer(value) if isinstance(value, int) else sp.Float(text.replace("_", ""))
        if isinstance(value, (str, bytes)):
            self.refuse("strings")
        self.refuse(f"the constant {value!r}")

    def name(self, identifier, called):
        if identifier.startswith("__") and identifier.endswith("__"):
            self.refuse(f"the name {identifier}")
        if called:
            function = self.callables.get(identifier)
            if function is not None:
                return function
            if not self.api:
                self.refuse(f"unknown function '{identifier}'")
            if hasattr(sp, identifier):
                self.refuse(f"the function '{identifier}'")
            return sp.Function(identifier)  # an undefined function, as sympy reads it
        constant = self.constants.get(identifier)
        if constant is not None:
            return constant
        return sp.Symbol(identifier)

    def call(self, node, depth):
        if type(node.func) is not ast.Name:
            self.refuse("calling anything but a function name")
        if node.keywords:
            self.refuse("keyword arguments")
        name = self.segment(node.func)
        function = self.name(name, called=True)
        args = [self.build(arg, depth + 1) for arg in node.args]
        if self.api and name in ("Integer", "Rational", "Float"):
            most = 2 if name == "Rational" else 1
            if len(args) > most or not all(isinstance(a, sp.Number) for a in args):
                self.refuse(f"{name}() of anything but {'one or two numbers' if most == 2 else 'one number'}")
        if name == "Pow" and len(args) == 2:
            return self.power(*args)
        if name in self.bounded:
            self.bound_integers(name, args)
        return function(*args)

    def bound_integers(self, name, args):
        symbolic = any(not getattr(a, "is_number", True) for a in args)
        limit = MAX_DEGREE if symbolic else MAX_FUNCTION_INTEGER
        for a in args:
            if isinstance(a, sp.Integer) and abs(a) > limit:
                self.refuse(f"{name}() of an integer beyond ±{limit} ({_short(a)})")


def _short(number):
    text = str(number) if not (isinstance(number, sp.Integer) and _too_big(_bits(number))) else "…"
    return text if len(text) <= 20 else text[:8] + "…" + text[-8:]


def _operator_text(op):
    return {ast.FloorDiv: "//", ast.Mod: "%", ast.MatMult: "@", ast.LShift: "<<", ast.RShift: ">>",
            ast.BitOr: "|", ast.BitXor: "^", ast.BitAnd: "&", ast.Invert: "~", ast.Not: "not",
            ast.Eq: "==", ast.NotEq: "!=", ast.Is: "is", ast.IsNot: "is not", ast.In: "in",
            ast.NotIn: "not in"}.get(type(op), type(op).__name__)


_LONG_NUMBER = re.compile(r"\d{%d}" % (MAX_INTEGER_DIGITS + 1))


def _source(text):
    """The formula as Python syntax: ``^`` is a power, as formula files write it."""
    if not isinstance(text, str):
        raise FormulaError(f"expected formula text, got {type(text).__name__}")
    if len(text) > MAX_LENGTH:
        raise FormulaError(f"the formula is longer than {MAX_LENGTH} characters")
    if _LONG_NUMBER.search(text):
        raise FormulaError(f"a number of more than {MAX_INTEGER_DIGITS} digits")
    if "^" not in text:
        return text.strip()
    try:
        tokens = list(tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError) as e:
        raise FormulaError(f"invalid syntax ({e})") from None
    if any(t.type == tokenize.STRING for t in tokens):
        raise FormulaError("strings")
    return tokenize.untokenize((t.type, "**" if t.type == tokenize.OP and t.string == "^" else t.string)
                               for t in tokens).strip()


def _parse(text, api):
    source = _source(text)
    if not source:
        raise FormulaError("the formula is empty")
    try:
        tree = ast.parse(source, mode="eval")
    except SyntaxError as e:
        raise FormulaError(f"invalid syntax ({e.msg})") from None
    except (RecursionError, MemoryError):
        raise FormulaError(f"the formula nests deeper than {MAX_DEPTH} levels") from None
    except ValueError as e:
        raise FormulaError(f"cannot read the formula ({e})") from None
    try:
        return _Builder(source, api).build(tree)
    except FormulaError:
        raise
    except RecursionError:
        raise FormulaError(f"the formula nests deeper than {MAX_DEPTH} levels") from None
    except (TypeError, ValueError, ArithmeticError, AttributeError, sp.SympifyError) as e:
        raise FormulaError(str(e) or type(e).__name__) from None


def parse_formula(text):
    """A formula of a bank or library file as a sympy expression; FormulaError if refused."""
    expr = _parse(text, api=False)
    if not isinstance(expr, sp.Expr):
        raise FormulaError(f"not an expression: {expr}")
    return expr


def parse_expression(text):
    """Formula text given to the Python API, with names as sympy reads them."""
    return _parse(text, api=True)

