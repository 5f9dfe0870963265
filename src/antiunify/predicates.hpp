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
// The factor list of a product or of a positive integer power up to x**32, or None.
object multiplicative_args(handle expr);

}  // namespace kt
