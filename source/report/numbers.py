"""The one number format of the text reports: six significant digits (the JSON keeps every
digit). Formulas as printed keep their own numbers, rounded the same way for reading."""

import math
import re

DIGITS = 6

# A decimal number standing on its own: not the digits of a name (x0, v12, φ1) and not part of a
# longer number already matched.
_NUMBER = re.compile(r"(?<![\w.])(\d+\.\d*|\.\d+|\d+)([eE][+-]?\d+)?(?![\w.])")


def number(value: float) -> str:
    """A number for the text reports: six significant digits, "inf" and "nan" as such."""
    value = float(value)
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.{DIGITS}g}"


def _rounded(match: re.Match[str]) -> str:
    text = match.group(0)
    digits = sum(ch.isdigit() for ch in match.group(1).lstrip("0."))
    if digits <= DIGITS and not match.group(2):
        return text
    try:
        return number(float(text))
    except (ValueError, OverflowError):
        return text


def formula(text: str) -> str:
    """A formula's text with every number of more than six significant digits rounded."""
    return _NUMBER.sub(_rounded, text)
