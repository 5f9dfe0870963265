// The predicates and helpers anti-unification is built from.
#pragma once

#include "runtime/function.hpp"

namespace kt {

// "v" followed by one or more decimal digits (the regular expression v\d+, whole name).
bool is_v_name(handle name);
bool is_source_variable(handle expr);
bool is_generalized_variable(handle expr);
// (a, b) ordered by their srepr strings; `srepr_a`/`srepr_b` may be given to save printing.
object canonical_pair_key(handle a, handle b, handle srepr_a = handle(), handle srepr_b = handle());
// The factor list of a product or of a positive integer power up to x**32, or None.
object multiplicative_args(handle expr);

extern const FuncDef is_wildcard_def, is_source_variable_def, is_generalized_variable_def,
    canonical_pair_key_def, multiplicative_args_def;

}  // namespace kt
