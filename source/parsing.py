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
import keyword
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
MAX_WORK = 250_000          # nodes times distinct variables: describing a formula costs about that

_BITS_PER_DIGIT = math.log2(10)


class FormulaError(ValueError):
    """Formula text that is refused or cannot be read; the message says why."""


# Functions bank files may call, by the names formula files use for them: the usual ones and
# the operators symbolic-regression tools write in their hall-of-fame files. The "safe" and
# clipped variants (which only guard a domain numerically) read as the plain functions. `pow`
# is a power and takes the bounds of `**`.
FUNCTIONS = dict(
    exp=sp.exp, log=sp.log, ln=sp.log, sqrt=sp.sqrt, abs=sp.Abs, Abs=sp.Abs, sign=sp.sign,
    floor=sp.floor, ceil=sp.ceiling, ceiling=sp.ceiling,
    sin=sp.sin, cos=sp.cos, tan=sp.tan, cot=sp.cot, sec=sp.sec, csc=sp.csc,
    asin=sp.asin, acos=sp.acos, atan=sp.atan, arcsin=sp.asin, arccos=sp.acos, arctan=sp.atan,
    sinh=sp.sinh, cosh=sp.cosh, tanh=sp.tanh, asinh=sp.asinh, acosh=sp.acosh, atanh=sp.atanh,
    arcsinh=sp.asinh, arccosh=sp.acosh, arctanh=sp.atanh,
    erf=sp.erf, erfc=sp.erfc, gamma=sp.gamma, lgamma=sp.loggamma,
    log10=lambda a: sp.log(a, 10), log2=lambda a: sp.log(a, 2), log1p=lambda a: sp.log(1 + a),
    expm1=lambda a: sp.exp(a) - 1,
    safe_log=sp.log, safe_log10=lambda a: sp.log(a, 10), safe_log2=lambda a: sp.log(a, 2),
    safe_log1p=lambda a: sp.log(1 + a), safe_sqrt=sp.sqrt, safe_asin=sp.asin, safe_acos=sp.acos,
    safe_acosh=sp.acosh, safe_atanh=sp.atanh, atanh_clip=sp.atanh,
    square=lambda a: a ** 2, cube=lambda a: a ** 3, neg=lambda a: -a, inv=lambda a: 1 / a,
    relu=lambda a: sp.Max(0, a), max=sp.Max, min=sp.Min, mod=sp.Mod, heaviside=sp.Heaviside,
    greater=lambda a, b: sp.Heaviside(a - b, 0),
    cbrt=sp.cbrt, logabs=lambda a: sp.log(sp.Abs(a)), sqrtabs=lambda a: sp.sqrt(sp.Abs(a)),
    aq=lambda a, b: a / sp.sqrt(1 + b ** 2), fmin=sp.Min, fmax=sp.Max,
    pow=None, safe_pow=None,  # built by the parser's own power rule
)
_POWERS = {"pow", "safe_pow", "Pow"}
CONSTANTS = {"pi": sp.pi}


# ---- the sympy vocabulary of the Python API ------------------------------------------------

_SYMPY_CALLABLE_MODULES = ("sympy.functions.elementary", "sympy.functions.special",
                           "sympy.functions.combinatorial", "sympy.core.add", "sympy.core.mul",
                           "sympy.core.power", "sympy.core.mod", "sympy.core.relational",
                           "sympy.logic.boolalg", "sympy.concrete", "sympy.integrals.integrals")
# Calls whose work grows with an order or a count of terms that the text gives (`bound_work`).
_COUNTED = {"Derivative", "Sum", "Product", "harmonic"}
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
    def __init__(self, text, api, keywords=None):
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
            self.callables, self.constants, self.bounded = _api_vocabulary()
        else:
            self.callables, self.constants, self.bounded = FUNCTIONS, CONSTANTS, {"gamma", "lgamma"}

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
            if isinstance(value, float):
                # sympy reads a decimal exponent exactly: 1e999999 costs minutes before it is a number.
                exponent = _EXPONENT.search(text)
                if exponent and (len(exponent.group(1)) > 5 or abs(int(exponent.group(1))) > MAX_INTEGER_DIGITS):
                    self.refuse(f"the number {_cut(text)}: a decimal exponent beyond \u00b1{MAX_INTEGER_DIGITS}")
            # What sympy makes of the literal as written: exact integers, decimal floats.
            return sp.Integer(value) if isinstance(value, int) else sp.Float(text.replace("_", ""))
        if isinstance(value, (str, bytes)):
            self.refuse("strings")
        self.refuse(f"the constant {value!r}")

    def name(self, identifier, called):
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

    def call(self, node, depth):
        if type(node.func) is not ast.Name:
            self.refuse("calling anything but a function name")
        if node.keywords:
            self.refuse("keyword arguments")
        name = self.segment(node.func)
        function = self.name(name, called=True)
        args = [self.build(arg, depth + 1) for arg in node.args]
        if name in _POWERS and (name == "Pow") == self.api:
            if len(args) != 2:
                self.refuse(f"{name}() takes two arguments, got {len(args)}")
            return self.power(*args)
        if self.api and name in ("Integer", "Rational", "Float"):
            most = 2 if name == "Rational" else 1
            if len(args) > most or not all(isinstance(a, sp.Number) for a in args):
                self.refuse(f"{name}() of anything but {'one or two numbers' if most == 2 else 'one number'}")
        if name in self.bounded:
            self.bound_integers(name, args)
        if self.api and name in _COUNTED:
            self.bound_work(name, args)
        return function(*args)

    def bound_work(self, name, args):
        """Derivatives, sums and products whose order or count of terms input sets: bounded as
        powers and special functions are, before sympy does the work."""
        if name == "Derivative":
            orders = [a[1] for a in args[1:] if isinstance(a, sp.Tuple) and len(a) == 2]
            total = sum(abs(int(n)) for n in orders if isinstance(n, sp.Integer)) + len(args) - 1 - len(orders)
            if total > MAX_DEGREE:
                self.refuse(f"a derivative of order beyond {MAX_DEGREE}")
        elif name == "harmonic" and len(args) == 2 and isinstance(args[1], sp.Integer) and abs(args[1]) > MAX_DEGREE:
            self.refuse(f"harmonic() of an order beyond \u00b1{MAX_DEGREE}")
        else:  # Sum, Product: each (k, a, b) of at most MAX_FUNCTION_INTEGER terms where a and b are numbers
            for limits in args[1:]:
                if isinstance(limits, sp.Tuple) and len(limits) == 3 and all(x.is_number for x in limits[1:]):
                    low, high = limits[1:]
                    if not (high - low).is_finite or abs(high - low) > MAX_FUNCTION_INTEGER:
                        self.refuse(f"{name}() of more than {MAX_FUNCTION_INTEGER} terms")

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
_EXPONENT = re.compile(r"[eE][+-]?0*(\d+)\s*$")


def _cut(text):
    return text if len(text) <= 20 else text[:8] + "\u2026" + text[-8:]


def _tokens(text):
    try:
        tokens = list(tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError) as e:
        raise FormulaError(f"invalid syntax ({e.args[0] if e.args else e})") from None
    if any(t.type == tokenize.STRING for t in tokens):
        raise FormulaError("strings")
    return tokens


def _untokenize(tokens):
    return tokenize.untokenize((t.type, t.string) for t in tokens).strip()


def _checked(text):
    if not isinstance(text, str):
        raise FormulaError(f"expected formula text, got {type(text).__name__}")
    if len(text) > MAX_LENGTH:
        raise FormulaError(f"the formula is longer than {MAX_LENGTH} characters")
    if _LONG_NUMBER.search(text):
        raise FormulaError(f"a number of more than {MAX_INTEGER_DIGITS} digits")
    return text


_KEYWORD = re.compile(r"\b(?:%s)\b" % "|".join(keyword.kwlist))


def _bank_source(text):
    """A bank formula as Python syntax: ``^`` is a power, Python's keywords may name variables
    (they become placeholders, mapped back when the names are read), and ``lhs = rhs`` is an
    equation whose right-hand side is the formula. Returns (source, placeholders, lhs text)."""
    if "^" not in text and "=" not in text and not _KEYWORD.search(text):
        return text.strip(), {}, None
    tokens = _tokens(text)
    depth, equals = 0, []
    for k, t in enumerate(tokens):
        if t.type == tokenize.OP:
            depth += t.string in "([{"
            depth -= t.string in ")]}"
            if t.string == "=" and depth == 0:
                equals.append(k)
    lhs = None
    if len(equals) > 1:
        raise FormulaError("more than one '=' (write one equation, or the formula alone)")
    if equals:
        lhs = _untokenize(tokens[:equals[0]]) or None
        tokens = [t for t in tokens[equals[0] + 1:]]
    placeholders, taken = {}, set(re.findall(r"\w+", text))
    out = []
    for t in tokens:
        if t.type == tokenize.NAME and keyword.iskeyword(t.string):
            name = next(f"_kw{k}_{t.string}" for k in range(len(taken) + 1) if f"_kw{k}_{t.string}" not in taken)
            taken.add(name)
            placeholders[name] = t.string
            t = t._replace(string=name)
        elif t.type == tokenize.OP and t.string == "^":
            t = t._replace(string="**")
        out.append(t)
    return _untokenize(out), placeholders, lhs


def _api_source(text):
    """Formula text for the Python API: ``^`` is a power, as sympy reads it."""
    if "^" not in text:
        return text.strip()
    return _untokenize([t._replace(string="**") if t.type == tokenize.OP and t.string == "^" else t
                        for t in _tokens(text)])


def _parse(text, api):
    _checked(text)
    keywords, lhs = {}, None
    if api:
        source = _api_source(text)
    else:
        source, keywords, lhs = _bank_source(text)
    if not source:
        raise FormulaError("the formula is empty")
    _work_estimate(source)
    try:
        terms = _terms(source)
        trees = [ast.parse(t, mode="eval") for t in terms] if len(terms) > 1 else [ast.parse(source, mode="eval")]
    except SyntaxError as e:
        raise FormulaError("invalid syntax" + (f" ({e.msg})" if e.msg != "invalid syntax" else "")) from None
    except (RecursionError, MemoryError):
        raise FormulaError(f"the formula nests deeper than {MAX_DEPTH} levels") from None
    except ValueError as e:
        raise FormulaError(f"cannot read the formula ({e})") from None
    try:
        if len(trees) == 1:
            return _bounded(_Builder(source, api, keywords).build(trees[0])), lhs
        # A sum too long for Python's own parser, read term by term: one level, as any sum.
        parts = [_Builder(t, api, keywords).build(tree, 1) for t, tree in zip(terms, trees)]
        if not all(isinstance(p, sp.Expr) for p in parts):
            raise FormulaError("a sum of what is not an expression")
        return _bounded(sp.Add(*parts)), lhs
    except FormulaError:
        raise
    except RecursionError:
        raise FormulaError(f"the formula nests deeper than {MAX_DEPTH} levels") from None
    except (TypeError, ValueError, ArithmeticError, AttributeError, sp.SympifyError) as e:
        raise FormulaError(str(e) or type(e).__name__) from None


def _work_estimate(source):
    """Refuses, before anything is built, a text whose names times tokens say that its formula
    would pass MAX_WORK (a node takes about three tokens; `_bounded` checks exactly after)."""
    if len(source) < 2_000:
        return
    tokens = _tokens(source)
    names = {t.string for t in tokens if t.type == tokenize.NAME}
    if len(names) * len(tokens) > 3 * MAX_WORK:
        raise FormulaError(f"a formula too large to describe: {len(names)} names in {len(tokens):,} tokens "
                           f"(at most {MAX_WORK:,} nodes times variables)")


def _bounded(expr):
    """The expression, unless describing it would cost more than MAX_WORK (its nodes times its
    distinct variables: each variable is sampled and followed through the whole tree)."""
    if isinstance(expr, sp.Basic):
        variables = len(expr.free_symbols)
        if variables > 1:
            nodes = 0
            for _ in sp.preorder_traversal(expr):
                nodes += 1
                if nodes * variables > MAX_WORK:
                    raise FormulaError(f"a formula too large to describe: {variables} variables in more than "
                                       f"{nodes:,} nodes (at most {MAX_WORK:,} nodes times variables)")
    return expr


# Python's parser builds a sum as a chain nested one level per term and stops near a thousand.
_LONG_SUM = 500


def _terms(source):
    """The terms of a long top-level sum, each with its sign, as texts; [source] for anything
    else (a short formula, one that is not a sum at its top level)."""
    if source.count("+") + source.count("-") < _LONG_SUM:
        return [source]
    tokens = _tokens(source)
    terms, start, depth, previous = [], 0, 0, None
    for k, t in enumerate(tokens):
        if t.type == tokenize.OP and t.string in "([{":
            depth += 1
        elif t.type == tokenize.OP and t.string in ")]}":
            depth -= 1
        elif (depth == 0 and t.type == tokenize.OP and t.string in "+-" and previous is not None
              and (previous.type in (tokenize.NAME, tokenize.NUMBER) or previous.string in ")]}")):
            terms.append(tokens[start:k])
            start = k
        elif depth == 0 and t.type == tokenize.OP and t.string in ("=", "==", "<", ">", "<=", ">=", "!=", ","):
            return [source]  # not a plain sum: left to the parser as it is
        if t.type not in (tokenize.NEWLINE, tokenize.NL, tokenize.ENDMARKER, tokenize.INDENT, tokenize.DEDENT):
            previous = t
    terms.append(tokens[start:])
    if len(terms) < 2:
        return [source]
    return [_untokenize(term) for term in terms]


def parse_equation(text):
    """A formula of a bank or library file: (the left-hand side's text or None, the sympy
    expression). ``F = m*a`` gives ("F", m*a); FormulaError if refused."""
    expr, lhs = _parse(text, api=False)
    if not isinstance(expr, sp.Expr):
        raise FormulaError(f"not an expression: {expr}")
    return lhs, expr


def parse_formula(text):
    """A formula of a bank or library file as a sympy expression (of an equation, its
    right-hand side); FormulaError if refused."""
    return parse_equation(text)[1]


def parse_expression(text):
    """Formula text given to the Python API, with names as sympy reads them."""
    return _parse(text, api=True)[0]

