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
import re
import tokenize
from collections.abc import Iterable

import sympy as sp

from source.bank.builder import Builder

# The vocabulary and bounds are also read from here, with the parser they govern.
from source.bank.vocabulary import (
    FUNCTIONS as FUNCTIONS,
)
from source.bank.vocabulary import (
    MAX_DEPTH,
    MAX_INTEGER_DIGITS,
    MAX_LENGTH,
    MAX_WORK,
    PREFIX_FORM,
    FormulaError,
)
from source.bank.vocabulary import (
    MAX_EXPONENT as MAX_EXPONENT,
)

_LONG_NUMBER = re.compile(r"\d{%d}" % (MAX_INTEGER_DIGITS + 1))


def _tokens(text: str) -> list[tokenize.TokenInfo]:
    try:
        tokens = list(tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError) as e:
        raise FormulaError(f"invalid syntax ({e.args[0] if e.args else e})") from None
    if any(t.type == tokenize.STRING for t in tokens):
        raise FormulaError("strings")
    return tokens


def _untokenize(tokens: Iterable[tokenize.TokenInfo]) -> str:
    return tokenize.untokenize((t.type, t.string) for t in tokens).strip()


def _checked(text: object) -> str:
    if not isinstance(text, str):
        raise FormulaError(f"expected formula text, got {type(text).__name__}")
    if len(text) > MAX_LENGTH:
        raise FormulaError(f"the formula is longer than {MAX_LENGTH} characters")
    if _LONG_NUMBER.search(text):
        raise FormulaError(f"a number of more than {MAX_INTEGER_DIGITS} digits")
    return text


_KEYWORD = re.compile(r"\b(?:%s)\b" % "|".join(keyword.kwlist))


def _bank_source(text: str) -> tuple[str, dict[str, str], str | None]:
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
        lhs = _untokenize(tokens[: equals[0]]) or None
        tokens = [t for t in tokens[equals[0] + 1 :]]
    placeholders, taken = {}, set(re.findall(r"\w+", text))
    out = []
    for t in tokens:
        if t.type == tokenize.NAME and keyword.iskeyword(t.string):
            name = next(
                f"_kw{k}_{t.string}"
                for k in range(len(taken) + 1)
                if f"_kw{k}_{t.string}" not in taken
            )
            taken.add(name)
            placeholders[name] = t.string
            t = t._replace(string=name)
        elif t.type == tokenize.OP and t.string == "^":
            t = t._replace(string="**")
        out.append(t)
    return _untokenize(out), placeholders, lhs


def _api_source(text: str) -> str:
    """Formula text for the Python API: ``^`` is a power, as sympy reads it."""
    if "^" not in text:
        return text.strip()
    return _untokenize(
        [
            t._replace(string="**") if t.type == tokenize.OP and t.string == "^" else t
            for t in _tokens(text)
        ]
    )


def _parse(text: str, api: bool) -> tuple[sp.Basic, str | None]:
    _checked(text)
    keywords: dict[str, str] = {}
    lhs: str | None = None
    if api:
        source = _api_source(text)
    else:
        source, keywords, lhs = _bank_source(text)
    if not source:
        raise FormulaError("the formula is empty")
    _work_estimate(source)
    try:
        terms = _terms(source)
        trees = (
            [ast.parse(t, mode="eval") for t in terms]
            if len(terms) > 1
            else [ast.parse(source, mode="eval")]
        )
    except SyntaxError as e:
        raise FormulaError(
            "invalid syntax" + (f" ({e.msg})" if e.msg != "invalid syntax" else "")
        ) from None
    except (RecursionError, MemoryError):
        raise FormulaError(f"the formula nests deeper than {MAX_DEPTH} levels") from None
    except ValueError as e:
        raise FormulaError(f"cannot read the formula ({e})") from None
    prefix = not api and PREFIX_FORM.search(source) is not None
    try:
        if len(trees) == 1:
            return _bounded(Builder(source, api, keywords, prefix).build(trees[0])), lhs
        # A sum too long for Python's own parser, read term by term: one level, as any sum.
        parts = [Builder(t, api, keywords, prefix).build(tree, 1) for t, tree in zip(terms, trees)]
        if not all(isinstance(p, sp.Expr) for p in parts):
            raise FormulaError("a sum of what is not an expression")
        return _bounded(sp.Add(*parts)), lhs
    except FormulaError:
        raise
    except RecursionError:
        raise FormulaError(f"the formula nests deeper than {MAX_DEPTH} levels") from None
    except (TypeError, ValueError, ArithmeticError, AttributeError, sp.SympifyError) as e:
        raise FormulaError(str(e) or type(e).__name__) from None


def _work_estimate(source: str) -> None:
    """Refuses, before anything is built, a text whose names times tokens say that its formula
    would pass MAX_WORK (a node takes about three tokens; `_bounded` checks exactly after)."""
    if len(source) < 2_000:
        return
    tokens = _tokens(source)
    names = {t.string for t in tokens if t.type == tokenize.NAME}
    if len(names) * len(tokens) > 3 * MAX_WORK:
        raise FormulaError(
            f"a formula too large to describe: {len(names)} names in {len(tokens):,} tokens "
            f"(at most {MAX_WORK:,} nodes times variables)"
        )


def _bounded(expr: sp.Basic) -> sp.Basic:
    """The expression, unless describing it would cost more than MAX_WORK (its nodes times its
    distinct variables: each variable is sampled and followed through the whole tree)."""
    if isinstance(expr, sp.Basic):
        variables = len(expr.free_symbols)
        if variables > 1:
            nodes = 0
            for _ in sp.preorder_traversal(expr):
                nodes += 1
                if nodes * variables > MAX_WORK:
                    raise FormulaError(
                        f"a formula too large to describe: {variables} variables in more than "
                        f"{nodes:,} nodes (at most {MAX_WORK:,} nodes times variables)"
                    )
    return expr


# Python's parser builds a sum as a chain nested one level per term and stops near a thousand.
_LONG_SUM = 500


def _terms(source: str) -> list[str]:
    """The terms of a long top-level sum, each with its sign, as texts; [source] for anything
    else (a short formula, one that is not a sum at its top level)."""
    if source.count("+") + source.count("-") < _LONG_SUM:
        return [source]
    tokens = _tokens(source)
    terms: list[list[tokenize.TokenInfo]] = []
    start, depth = 0, 0
    previous: tokenize.TokenInfo | None = None
    for k, t in enumerate(tokens):
        if t.type == tokenize.OP and t.string in "([{":
            depth += 1
        elif t.type == tokenize.OP and t.string in ")]}":
            depth -= 1
        elif (
            depth == 0
            and t.type == tokenize.OP
            and t.string in "+-"
            and previous is not None
            and (previous.type in (tokenize.NAME, tokenize.NUMBER) or previous.string in ")]}")
        ):
            terms.append(tokens[start:k])
            start = k
        elif (
            depth == 0
            and t.type == tokenize.OP
            and t.string in ("=", "==", "<", ">", "<=", ">=", "!=", ",")
        ):
            return [source]  # not a plain sum: left to the parser as it is
        if t.type not in (
            tokenize.NEWLINE,
            tokenize.NL,
            tokenize.ENDMARKER,
            tokenize.INDENT,
            tokenize.DEDENT,
        ):
            previous = t
    terms.append(tokens[start:])
    if len(terms) < 2:
        return [source]
    return [_untokenize(term) for term in terms]


def parse_equation(text: str) -> tuple[str | None, sp.Expr]:
    """A formula of a bank or library file: (the left-hand side's text or None, the sympy
    expression). ``F = m*a`` gives ("F", m*a); FormulaError if refused."""
    expr, lhs = _parse(text, api=False)
    if not isinstance(expr, sp.Expr):
        raise FormulaError(f"not an expression: {expr}")
    return lhs, expr


def parse_formula(text: str) -> sp.Expr:
    """A formula of a bank or library file as a sympy expression (of an equation, its
    right-hand side); FormulaError if refused."""
    return parse_equation(text)[1]


def parse_expression(text: str) -> sp.Basic:
    """Formula text given to the Python API, with names as sympy reads them."""
    return _parse(text, api=True)[0]
