// How one expression behaves numerically: safe evaluation on a grid or on sampled variable
// ranges, the growth class of a curve, and the behaviour dict of a descriptor.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// `_eval_safe`: the pair (vals, coord) as a tuple.
object eval_safe(handle expr, handle grid, handle var_ranges, handle seed);
object growth_class(handle vals);
object extract_behavior(handle expr, handle var_ranges);
// `_numeric_values`: the expression's value for one array per symbol (in `syms` order), as the
// numpy function sympy would generate gives it (up to the order of its operations), warnings and
// all; not cleaned.
object numeric_values(handle expr, handle syms, handle arrays);

}  // namespace kt
