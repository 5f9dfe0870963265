#include "symbolic/order.hpp"

#include <stdexcept>

namespace kt::symbolic {

int sort_key_compare(Pool&, Oracle&, Expr, Expr) {
    throw Unsupported("sort keys are not compared natively yet");
}

std::vector<Expr> ordered_terms(Pool& pool, Oracle& oracle, Expr add) {
    return oracle.ordered_terms(pool, add);
}

std::vector<Expr> ordered_factors(Pool& pool, Oracle& oracle, Expr mul) {
    return oracle.ordered_factors(pool, mul);
}

}  // namespace kt::symbolic
