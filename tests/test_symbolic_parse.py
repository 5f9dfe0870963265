"""The native bank parser reads formula text into exactly the tree the Python bank parser makes
(the same srepr, the same left-hand side), or leaves the text to it, never reading what the
Python parser refuses; the native elementary functions give exactly sympy's results."""

import functools
import random
import warnings

import formulas
import pytest
import sympy as sp

from source.bank.parsing import FormulaError, parse_equation

kernels = pytest.importorskip("_brenmoor_testing")

CORPORA = {
    "feynman": formulas.feynman,
    "regression": formulas.regression,
    "variants": lambda: formulas.variants(2000),
    "random": lambda: formulas.random_texts(3000),
}
# Texts not read natively hold what no tree holds (a Float of more than 15 digits, I, zoo, an
# infinite or subnormal Float): none in the Feynman bank and its variants.
LEAST_READ = {"feynman": 1.0, "regression": 0.98, "variants": 1.0, "random": 0.9}


def python_reading(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return parse_equation(text)
        except FormulaError:
            return None


def read_alike(text):
    """Whether the text is read natively; if so, as the Python parser reads it."""
    native = kernels.tree_parse(text)
    if native is None:
        return False
    want = python_reading(text)
    assert want is not None, f"read natively, refused by the Python parser: {text!r}"
    assert native[0] == want[0], text
    assert sp.srepr(native[1]) == sp.srepr(want[1]), text
    return True


@pytest.mark.parametrize("corpus", list(CORPORA))
def test_corpus_texts_read_as_the_python_parser_reads_them(corpus):
    texts = CORPORA[corpus]()
    read = sum(read_alike(t) for t in texts)
    assert read >= LEAST_READ[corpus] * len(texts), f"{read} of {len(texts)} read natively"


TRICKY = [
    # syntax errors and empty text
    *["x +", "(x", "x)", "x y", "2x", "*x", "x**", "x / / y", "", "   ", "()", "(,)", "x,"],
    *["sin()", "sin(x,,)", "sin(,x)", "1..2", "1.2.3", "x..y", ".", "$x", "x ? y"],
    # functions: unknown, not a bare name, wrong arity, prefix programs, every native name
    *["foo(x)", "gamma(x)", "sign(x)", "log10(x)", "f(x)(y)", "(sin)(x)", "2(x)", "x(y)"],
    *["pi(x)", "sin(x)(y)", "log(x, 2)", "sqrt(x, y)", "exp(x, y)", "pow(x)", "pow(x, y, z)"],
    *[
        "square(x, y)",
        "sin(x,)",
        "pow(x, 2,)",
        "add(x, y)",
        "mul(x, sqrt(y))",
        "sqrt(x) + div(x, y)",
    ],
    *["exp(x)", "log(x)", "ln(x)", "sqrt(x)", "abs(-x)", "Abs(2*x)", "sin(x)", "cos(-x)"],
    *["tan(x)", "asin(x)", "arcsin(x)", "acos(x)", "arccos(x)", "atan(x)", "arctan(-x)", "sinh(x)"],
    *["cosh(x)", "tanh(x)", "asinh(x)", "arcsinh(x)", "acosh(x)", "arccosh(x)", "atanh(x)"],
    *["arctanh(x)", "square(x + 1)", "cube(2*x)", "neg(x - y)", "inv(x**2)", "pow(x, 1/2)"],
    *["sin + cos", "exp*2", "sqrt"],
    # keywords and dunder names
    *["lambda*2", "x + if", "True", "None + x", "x if y else z", "not x", "x and y", "in"],
    *["lambda = x", "E = lambda", "x1if", "__x__ + 1", "__import__(x)", "__", "_x_ + x_"],
    # exponents and integers near and past the bounds
    *["x**1001", "x**1000", "x**999", "x**500", "x**501", "x**-1001", "x**1000.5", "x**(1/3)"],
    *["(x**3)**500", "(x**3)**100", "square(x**501)", "(9*x)**1000", "2**1000", "10**20"],
    *["2**62", "2**63", "2**64*x", "9223372036854775807*x", "9223372036854775808*x"],
    *["-9223372036854775807 - 1", "(2**40)**2", "x**2**3", "x**2**10"],
    # number literals
    *["1e999999", "0e999999", "1e400", "1e-400", "1e308", "1e-310", "1.7976931348623157e308"],
    *["0x10", "0o17", "0b101", "0x_1f", "0xg", "0b2", "1_0", "1_000_000", "1__0", "1_", "_1"],
    *[".5", "5.", "5.e-3", "1j", "2.5J", "07", "00", "0_0", "09.5", "09", "1e5", "1E-3"],
    *["5e14", "5e15", "12e13", "123456789012345.6", "0.1234567890123456", "0.123456789012345"],
    *["1.500000000000000", "0.000000000000001", "1.5e+3", "1e1_0", "1e", "1e+", "1.5e-3x"],
    *["0.1 + 0.2", "1/3", "2/4", "-0.0", "0.0*x", "0*x", "1.0*x", "x*1", "x + 0"],
    *["0.0 + 0", "0 - 0.0", "0.0*1", "1*0.0", "2.5 - 2.5", "0.5*0", "(0.0 + (2.0*(0.0*x)))"],
    # nesting
    *["(" * 150 + "x" + ")" * 150, "(" * 40 + "x" + ")" * 40, "-" * 90 + "x", "-" * 250 + "x"],
    *[
        "x**" * 90 + "x",
        "x**" * 120 + "x",
        "sin(" * 90 + "x" + ")" * 90,
        "sin(" * 120 + "x" + ")" * 120,
    ],
    *["+".join(["x"] * 460), "+".join(["x"] * 100), "x*" * 600 + "x"],
    # equations
    *["F = m*a", "f(x) = x^2", "a+b = c", "= x", "x = ", "x = y = z", "x == y", "f(x=1)"],
    *["v_1 = sqrt(2*g*h)", "E_k = m*v^2/2", "x\n= 1", "(a = b)", "2.50 = x", "x^2 = y"],
    # powers written ^, precedence, associativity, unary operators
    *["x^2", "x^-1", "2^3^2", "x ^ y", "x^=2", "-x^2", "(x^2)^0.5", "x**^2", "x^^2"],
    *["-x**2", "2**-1", "a/b/c", "x**y**z", "-2**2", "x**-y**2", "a-b-c", "a-(b-c)", "+x"],
    *["--x", "-+-x", "2*-x", "x*-1", "1/x/y*z", "x - -y", "-(x - y)", "(-x)**2", "-(x)**3"],
    *["1/0", "x/0", "0/0", "0**-1", "(x - x)**-1", "x**0", "0**0"],
    # other operators, unicode, whitespace and line breaks
    *["x // y", "x % y", "x @ y", "~x", "x < y", "x <= y", "x != y", "x -> y", "x += 1"],
    *["(x, y)", "[x]", "{x}", "x.y", "x[0]", "'x'", 'f"x"', "x # comment", "x \\\n + y"],
    *["θ + 1", "x + é", "µ*x", "x·y", "x\u00a0+ 1", "x\r\n", "x\f+1"],
    *["x\n+ y", "(x\n+ y)", "(x\n\n+\ty)", "\nx + y\n", "\tx", "  x  ", "sin(\n x\n)"],
]


@pytest.mark.parametrize("text", TRICKY, ids=lambda t: repr(t[:30]))
def test_tricky_texts_are_read_alike_or_left_to_python(text):
    read_alike(text)


LITERALS = ["0", "7", "1_000", "0x1f", "0o7", "0b101", ".5", "5.", "2.5e-3", "1E3", "0.0", "00"]
NAMES = ["x", "y", "X1", "theta", "pi", "E", "m_1", "_t"]
CALLS = ["sin", "exp", "log", "sqrt", "abs", "arctan", "tanh", "square", "neg", "inv", "acosh"]


def random_text(rng, depth):
    """A formula in the syntax bank files use, with Python's freedoms of spacing and breaks."""

    def space():
        return rng.choice(["", "", " ", "  ", "\t"])

    if depth == 0 or rng.random() < 0.25:
        return rng.choice(NAMES if rng.random() < 0.6 else LITERALS)
    kind = rng.random()
    a = random_text(rng, depth - 1)
    if kind < 0.4:
        op = rng.choice(["+", "-", "*", "/", "**", "^"])
        return f"{a}{space()}{op}{space()}{random_text(rng, depth - 1)}"
    if kind < 0.55:
        return rng.choice(["-", "+", "--", "-+"]) + space() + a
    if kind < 0.75:
        inside = rng.choice(["", "\n", " \n  "])
        return f"({inside}{a}{space()}{inside})"
    if rng.random() < 0.1:
        return f"pow({a},{space()}{random_text(rng, depth - 1)})"
    return f"{rng.choice(CALLS)}({a}{rng.choice(['', ',', ' ,'])})"


def test_random_texts_in_bank_syntax_read_alike():
    rng = random.Random(11)
    read = 0
    for _ in range(1500):
        text = random_text(rng, 4)
        if rng.random() < 0.2:
            text = rng.choice(["F", "f(x)", "v_0", "a + b"]) + " = " + text
        read += read_alike(text)
    assert read > 1000


@pytest.mark.parametrize(
    "text, lhs",
    [("F = m*a", "F"), ("f(x) = x^2", "f (x )"), ("a+b = c", "a +b"), ("= x", None), ("x", None)],
)
def test_the_left_hand_side_is_the_python_parsers_text(text, lhs):
    assert kernels.tree_parse(text)[0] == lhs == parse_equation(text)[0]


@pytest.mark.parametrize(
    "text",
    ["x + y", "sin(x)", "2.5*x**2 - y/3", "exp(-x/2)", "x = y^2", "sqrt(x)", "abs(x*y)", "-x"],
)
def test_common_texts_are_read_natively(text):
    assert kernels.tree_parse(text) is not None


# ---- the elementary functions --------------------------------------------------------------

FUNCTIONS = ["exp", "log", "sin", "cos", "tan", "asin", "acos", "atan"]
FUNCTIONS += ["sinh", "cosh", "tanh", "asinh", "acosh", "atanh", "Abs"]


def called_alike(name, arg):
    """Whether fn(arg) is decided natively without asking sympy; either way it is sympy's."""
    got = kernels.tree_call(name, arg)
    if got is None:
        return None
    want = getattr(sp, name)(arg)
    assert sp.srepr(got[0]) == sp.srepr(want), (name, arg)
    return got[1] == 0


@functools.cache
def corpus_arguments(corpus, count=250):
    """Distinct subtrees of the corpus's formulas (spread over it), their negations and halves."""
    seen = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for text in CORPORA[corpus]()[::5]:
            reading = python_reading(text)
            if reading is not None:
                for node in sp.preorder_traversal(reading[1]):
                    seen.setdefault(node, None)
    nodes = list(seen)[:: max(1, len(seen) // count)][:count]
    return [a for n in nodes for a in (n, -n, n / 2)]


@pytest.mark.parametrize("corpus", list(CORPORA))
def test_functions_of_corpus_subtrees_are_sympys(corpus):
    decided = [called_alike(name, a) for a in corpus_arguments(corpus) for name in FUNCTIONS]
    assert any(decided)


NUMBERS = [sp.Integer(k) for k in (-3, -2, -1, 0, 1, 2, 3, 10)]
NUMBERS += [sp.Rational(p, q) for p, q in [(1, 2), (-1, 2), (3, 2), (-3, 2), (1, 3), (-2, 3)]]
NUMBERS += [sp.Float(v) for v in (0.5, -0.5, 2.0, -1.0, 0.0, 1.0, 1e-3, 123.456)]
NUMBERS += [sp.pi, sp.E, sp.pi / 2, -sp.pi, 2 * sp.pi / 3, sp.sqrt(2), sp.log(2), sp.exp(-1)]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_of_numbers_are_sympys(name):
    for a in NUMBERS:
        called_alike(name, a)


x, y, z = sp.symbols("x y z")
NATIVE = [
    ("sin", x),
    ("sin", -x),
    ("cos", -x),
    ("tan", -2 * x),
    ("sinh", -x / 2),
    ("cosh", -x * y),
    ("exp", -x / 2),
    ("exp", x * y),
    ("exp", sp.log(x)),
    ("exp", x + 1),
    ("log", x),
    ("log", x**2),
    ("sin", sp.asin(x)),
    ("cosh", sp.acosh(x)),
    ("atan", -x),
    ("acos", -x),
    ("acosh", -x),
    ("sin", 2 * sp.pi * x),
    ("cos", sp.pi * x / 3),
    ("Abs", x),
    ("Abs", -x),
    ("Abs", 2 * x),
    ("Abs", -x * y / 3),
    ("Abs", x / y),
    ("Abs", 1 / x),
    ("Abs", 2 / (3 * x)),
    ("Abs", sp.sqrt(x)),
    ("Abs", x**-2),
    ("Abs", sp.sin(x)),
    ("Abs", sp.Abs(x)),
    ("Abs", -0.5 * sp.pi * x),
    ("sin", sp.Integer(-2)),
    ("log", sp.Rational(1, 3)),
    ("exp", sp.Integer(1)),
    ("cos", sp.Integer(0)),
    ("Abs", sp.Float(-2.5)),
]


@pytest.mark.parametrize("name, arg", NATIVE, ids=lambda v: str(v))
def test_common_calls_are_decided_natively(name, arg):
    assert called_alike(name, arg) is True


# Rules that read assumptions, Float values, multiples of pi or the sort order.
SUBTLE = [
    *[("sin", x + sp.pi / 2), ("sin", 0.5 * sp.pi * x), ("log", sp.exp(x)), ("sin", x - y)],
    *[("exp", 2 * sp.log(x)), ("exp", x + sp.log(y)), ("exp", x + 0.5), ("sin", sp.acos(x))],
    *[("tanh", sp.asinh(x)), ("Abs", sp.exp(x)), ("Abs", x - 1), ("Abs", sp.cosh(sp.Abs(x)))],
    *[("Abs", x * sp.exp(-y)), ("sin", sp.Float(0.5)), ("asin", sp.Rational(1, 2))],
    *[("log", sp.Integer(-2)), ("Abs", sp.Abs(x) ** 2), ("Abs", x**y), ("cos", -x + y)],
    *[("Abs", sp.sin(sp.Abs(x))), ("exp", sp.log(x) * sp.log(y)), ("exp", x * sp.log(y))],
    *[("asin", sp.sin(x)), ("Abs", 2 / x**2), ("exp", sp.pi * x), ("tan", -3 * sp.pi * x / 2)],
    *[
        ("sin", sp.pi * (x**2 - 3.5) / 4),
        ("cos", 2 * sp.pi * (x + y)),
        ("tan", sp.pi * (1 - x) / 3),
    ],
]


@pytest.mark.parametrize("name, arg", SUBTLE, ids=lambda v: str(v))
def test_subtle_calls_are_sympys(name, arg):
    called_alike(name, arg)


def test_float_literals_are_read_as_sympy_reads_them():
    rng = random.Random(7)
    for _ in range(3000):
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 17)))
        point = rng.randint(0, len(digits))
        text = digits[:point] + "." + digits[point:]
        if rng.random() < 0.5:
            text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 330))
        read_alike(text)
