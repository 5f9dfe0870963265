// The elementary functions as their sympy classes evaluate them (`eval`, then `evalf` of a
// Float argument), decided natively where the rules are exact without sympy's assumptions:
// the signs odd and even functions take out, an inverse undoing its function, exp of a log, the
// integer and rational values the classes leave alone or fold, Abs of products and powers of
// plain symbols. The rest (Floats, pi's multiples in sums, the assumption-dependent rules,
// sign ties that need sympy's sort order) goes to sympy through `Builder::ask`.
#pragma once

#include <optional>

#include "symbolic/build.hpp"

namespace kt::symbolic {

// `e.could_extract_minus_sign()`; nothing where a sum's tie needs the sort order and that is
// not decided natively.
std::optional<bool> could_extract_minus_sign(Builder& b, Expr e);

// `fn(arg)` decided natively, or nothing where sympy must decide it.
std::optional<Expr> evaluate_function(Builder& b, Fn fn, Expr arg);

}  // namespace kt::symbolic
