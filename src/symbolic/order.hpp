// The orders sympy prints in: `sort_key`, the terms of a sum as `as_ordered_terms` gives them
// and the factors of a product as `as_ordered_factors` does. Printing, numeric programs and the
// sign rules of the functions all follow them. Decided natively (orders.hpp); a sum or product
// the native rules cannot order is ordered by the oracle, and counted.
#pragma once

#include <vector>

#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt::symbolic {

// -1, 0 or 1 as `a.sort_key()` compares with `b.sort_key()`: -1 where `<` holds, 1 where `>`
// does, else 0 (equal keys, or keys that first differ in a Float and a Rational of one value).
// Unsupported for trees too deep.
int sort_key_compare(Pool& pool, Oracle& oracle, Expr a, Expr b);
std::vector<Expr> ordered_terms(Pool& pool, Oracle& oracle, Expr add);
std::vector<Expr> ordered_factors(Pool& pool, Oracle& oracle, Expr mul);

// How many sums and products this thread had the oracle order, in all calls so far.
long order_fallbacks();

}  // namespace kt::symbolic
