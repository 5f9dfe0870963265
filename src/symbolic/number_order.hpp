// How Python compares two sympy Numbers (Integer, Rational, Float) where they meet inside sort
// keys: `<` by exact value, and `==` only within a kind, since sympy 1.14 never has a Float
// equal a Rational; a Float and a Rational of the same value are therefore unordered.
#pragma once

#include <compare>

#include "symbolic/node.hpp"

namespace kt::symbolic {

// The exact values of two Number nodes compared.
std::strong_ordering compare_values(Expr a, Expr b);
// Python's `<` and `==` on two Number nodes, as one result.
std::partial_ordering compare_numbers(Expr a, Expr b);
// The sign of a Number node: -1, 0 or 1.
int sign_of(Expr number);

}  // namespace kt::symbolic
