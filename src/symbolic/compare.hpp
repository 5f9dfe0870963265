// sympy's canonical order of arguments (`Basic.compare`), by which Add and Mul sort theirs:
// first the classes (by their place in sympy's list of classes, else by name), then what
// each node is made of, argument by argument.
#pragma once

#include "symbolic/node.hpp"

namespace kt::symbolic {

// -1, 0 or 1 as `a.compare(b)`.
int compare(Expr a, Expr b);

// A Float's value as mpmath holds it: (sign, odd mantissa, exponent, bit count), zero as
// (0, 0, 0, 0). Floats compare by it, field by field.
struct Mpf {
    int sign;
    std::uint64_t man;
    std::int64_t exp;
    int bc;
};
Mpf mpf_of(double value);

}  // namespace kt::symbolic
