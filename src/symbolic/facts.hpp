// The assumptions sympy asks of subexpressions while it constructs (`is_zero`, `is_integer`,
// `is_extended_real`, ...), answered natively as sympy answers them: True, False or None
// (sympy cannot tell). Plain symbols carry no assumptions, so most answers about them are None;
// a case whose answer the rules here cannot guarantee is Undecided, and the construction that
// asked is left to sympy.
#pragma once

#include <cstdint>

#include "symbolic/node.hpp"

namespace kt::symbolic {

enum class Fact : std::uint8_t {
    zero,
    integer,
    even,
    odd,
    positive,
    negative,
    extended_real,
    extended_positive,
    extended_negative,
    extended_nonnegative,
    finite,
    infinite,
    imaginary,
    polar,
};

// sympy's three answers, None for "cannot tell".
enum class Truth : std::int8_t { False, True, None };

// `expr.is_<fact>`; throws Undecided where the native rules cannot guarantee sympy's answer.
Truth ask(Expr e, Fact f);

inline bool is_true(Truth t) { return t == Truth::True; }

// `re(expr).is_extended_nonnegative` for an expression holding symbols.
Truth real_part_nonnegative(Expr e);

// Whether sympy can prove `expr` zero (`expr.is_zero` is True), and infinite. Beyond Numbers,
// never: an expression is provably zero or infinite only through a factor, base or term that
// is, which evaluation has already folded (0*x -> 0, 0**-1 -> zoo, log(1) -> 0), and no tree
// holds an infinity.
bool provably_zero(Expr e);
bool provably_infinite(Expr e);

}  // namespace kt::symbolic
