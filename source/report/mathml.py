"""Formulas typeset for the HTML report as presentation MathML, which a browser draws with no
script and no font from elsewhere. Typesetting costs about a millisecond a formula, so a page
typesets a bounded number of them (`Typesetter`) and shows the others as their text; every
typeset formula keeps its text beside it, for search and copy-paste."""

import html
import html.entities
import re
import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import Any

import sympy as sp
from sympy.printing.mathml import mathml

DIGITS = 6  # significant digits of the numbers in a typeset formula (its text keeps them all)
LONGEST = 400  # a formula printed longer than this stays text: too wide to read typeset

# What the printer writes and a browser draws; anything else means the formula is not typeset.
TAGS = frozenset(
    "math mrow mi mn mo ms mtext mspace msub msup msubsup mfrac msqrt mroot mover munder "
    "munderover mtable mtr mtd mstyle mpadded mphantom menclose".split()
)
ATTRIBUTES = frozenset(
    "mathvariant linethickness stretchy fence separator form lspace rspace accent "
    "displaystyle scriptlevel columnalign notation".split()
)
_ENTITY = re.compile(r"&([A-Za-z][A-Za-z0-9]*);")
_XML_ENTITIES = frozenset({"lt", "gt", "amp", "quot", "apos"})
_DIGITS = re.compile(r"[0-9]+")


def _character(match: re.Match[str]) -> str:
    name = match.group(1)
    if name in _XML_ENTITIES:
        return match.group(0)
    return html.entities.html5.get(name + ";", match.group(0))


def _rounded(expr: Any) -> Any:
    """The expression with its floating-point numbers at six significant digits."""
    floats = expr.atoms(sp.Float)
    return expr.xreplace({f: sp.Float(f, DIGITS) for f in floats}) if floats else expr


def _clean(element: ET.Element) -> bool:
    """Whether the element tree holds only what a browser draws as mathematics; numbers that
    the printer wrote as identifiers (the 0 of v0) become numbers, and its double-struck e a
    plain upright one."""
    for node in element.iter():
        if node.tag not in TAGS or any(a not in ATTRIBUTES for a in node.attrib):
            return False
        if node.tag == "mi" and node.text is not None:
            if _DIGITS.fullmatch(node.text):
                node.tag = "mn"
            elif node.text == "\u2147":
                node.text, node.attrib["mathvariant"] = "e", "normal"
    return True


def markup(expr: Any, text: str) -> str | None:
    """`expr` as a <math> element, or None where it cannot be typeset as it is written (too long,
    an object the printer does not know, a name that is not plain text)."""
    if len(text) > LONGEST:
        return None
    try:
        printed = mathml(_rounded(expr), printer="presentation")
        root = ET.fromstring("<math>" + _ENTITY.sub(_character, printed) + "</math>")
    except Exception:  # the printer and the parser fail in many ways on odd objects: shown as text
        return None
    if not _clean(root):
        return None
    root.attrib.update({"display": "inline", "alttext": text})
    return ET.tostring(root, encoding="unicode", short_empty_elements=False)


def text_cell(text: str) -> str:
    return f"<code>{html.escape(text)}</code>"


class Typesetter:
    """Typesets at most `most` formulas, in the order they are asked for; after that, and for
    any formula the printer cannot draw, the formula is shown as its text only."""

    def __init__(self, most: int) -> None:
        self.most = most
        self.done = 0

    @property
    def left(self) -> int:
        return self.most - self.done

    def cell(self, expr: Callable[[], Any], text: str, typeset: bool = True) -> str:
        """The formula as HTML: typeset with its text beneath, or its text. `expr` builds the
        sympy expression (only where it is typeset); `typeset` False shows the text only."""
        if typeset and self.done < self.most:
            self.done += 1
            math = markup(expr(), text)
            if math is not None:
                return f"<div class=f>{math}</div><code class=t>{html.escape(text)}</code>"
        return text_cell(text)
