// Bounds on the integers that expression text may spell or build from constants. The module
// exposes them (MAX_EXPONENT, MAX_INTEGER_DIGITS) so that Python-side parsers check the same.
#pragma once

namespace kt {

// A constant integer exponent above this in absolute value is refused: x**1000 already
// overflows float64 for any |x| > 2, while Python ints raised further grow without limit
// (9**9**9 would compute for hours).
constexpr long long kMaxExponent = 1000;

// A constant integer of more decimal digits than this is refused, whether written out or
// built from constants, before it is computed.
constexpr long long kMaxIntegerDigits = 10000;

}  // namespace kt
