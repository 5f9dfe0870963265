// A formula's canonical numeric form: what is left of it once the habits of fitted output are
// set aside, each change said. Symbolic-regression engines wrap every model in an intercept and
// a scale (`c + s*(...)`), fit small terms to noise and leave numbers a hair off simple values
// (`cos(0.999*X3)`, `X1**1.9998`): the form splits off the additive intercept and the overall
// factor, drops the terms whose variation over the formula's points is below a tolerance of the
// whole, and snaps numbers within that tolerance of a simple value (an integer, a fraction of
// small denominator, such a multiple of pi).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "symbolic/build.hpp"

namespace kt::symbolic {

struct CanonicalForm {
    Expr core;  // without intercept, factor and small terms; numbers snapped
    double intercept = 0.0;
    double scale = 1.0;
    std::vector<std::string> changes;  // each change, as reports show it
    std::vector<double> values;        // the formula's values at its points; empty: none
};

// The values of a term of the formula at the formula's points (NaN where undefined, infinite
// or complex), or nothing where it cannot be evaluated.
using TermValues = std::function<std::optional<std::vector<double>>(Expr)>;

// The canonical form of `expr` (which holds a symbol: a constant is its own form) at the
// points `values` evaluates terms at. `tolerance` is the relative distance to a simple value
// that snaps and the share of the variation under which a term is dropped (0: neither).
CanonicalForm canonical_form(Builder& b, Expr expr, const TermValues& values, double tolerance);

// The simple number within `tolerance` (relative) of x, an integer or a fraction of
// denominator at most 6 and numerator at most 24, or such a multiple of pi; nothing when there
// is none.
std::optional<Expr> simple_value(Builder& b, double x, double tolerance);

}  // namespace kt::symbolic
