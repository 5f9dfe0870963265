// The invariants of an operator expression under differentiation, integration, products, powers
// and parameter shifts, each sympy step run under a time limit; rules the operator itself
// satisfies (operator form) come with their coefficient and variant.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The invariants (records of class `invariant_class`) of `op_expr` over `params`, one per
// canonical form. A power with a symbolic exponent takes the short path (first derivatives,
// exponent shifts and the square); any other expression the full one. With `verbose`, each step
// that failed or ran out of time is printed.
object generate_invariants(handle invariant_class, handle op_expr, handle params, bool verbose);

}  // namespace kt
