#include "symbolic/order.hpp"

#include "symbolic/orders.hpp"

namespace kt::symbolic {

int sort_key_compare(Pool& pool, Oracle& oracle, Expr a, Expr b) {
    Orders orders(pool, oracle);
    const std::partial_ordering c = orders.compare(a, b);
    if (c == std::partial_ordering::less) return -1;
    if (c == std::partial_ordering::greater) return 1;
    return 0;
}

std::vector<Expr> ordered_terms(Pool& pool, Oracle& oracle, Expr add) {
    Orders orders(pool, oracle);
    return orders.terms(add);
}

std::vector<Expr> ordered_factors(Pool& pool, Oracle& oracle, Expr mul) {
    Orders orders(pool, oracle);
    return orders.factors(mul);
}

}  // namespace kt::symbolic
