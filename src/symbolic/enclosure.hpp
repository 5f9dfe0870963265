// The real value of a tree without symbols (sin(9), log(4), 3**(1/3), ...) to within a proven
// bound: computed in extended precision, with the error of every step carried forward. Orders
// that hinge on such a value (two terms of one monomial whose coefficients differ) are decided
// where the bounds keep the values apart, and left to sympy where they do not.
#pragma once

#include <optional>

#include "symbolic/node.hpp"

namespace kt::symbolic {

struct Enclosure {
    long double value;
    long double error;  // |true value - value| <= error
};

// Nothing where the value is not real (asin(2), (-8)**(1/3)), not finite, or not bounded well
// (an argument close to a pole or an edge of the domain).
std::optional<Enclosure> enclose(Expr e);

}  // namespace kt::symbolic
