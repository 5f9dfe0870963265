// The orders sympy prints in: `sort_key`, the terms of a sum as `as_ordered_terms` gives them
// and the factors of a product as `as_ordered_factors` does. Printing, numeric programs and the
// sign rules of the functions all follow them.
#pragma once

#include <vector>

#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt::symbolic {

// -1, 0 or 1 as `a.sort_key()` compares with `b.sort_key()`.
int sort_key_compare(Pool& pool, Oracle& oracle, Expr a, Expr b);
std::vector<Expr> ordered_terms(Pool& pool, Oracle& oracle, Expr add);
std::vector<Expr> ordered_factors(Pool& pool, Oracle& oracle, Expr mul);

}  // namespace kt::symbolic
