// The predicates and helpers anti-unification is built from.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// "v" followed by one or more decimal digits (the regular expression v\d+, whole name).
bool is_v_name(handle name);
bool is_source_variable(handle expr);
bool is_generalized_variable(handle expr);
// (a, b) ordered by their srepr strings; `srepr_a`/`srepr_b` may be given to save printing.
object canonical_pair_key(handle a, handle b, handle srepr_a = handle(), handle srepr_b = handle());
// x**n counts as n factors x only up to this n; a larger power is no product (None). The
// factors are paired one by one with another product's (n² scores when n > 7), so a power like
// x**10000 against y**10000 took over a minute and 2 GB. Written formulas have small
// exponents, and two powers with the same large exponent still generalise position by
// position, to the same result.
inline constexpr long long kMaxPowerFactors = 32;

// The factor list of a product or of a positive integer power up to x**kMaxPowerFactors, or None.
object multiplicative_args(handle expr);

}  // namespace kt
