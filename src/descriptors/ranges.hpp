// Variable range dicts for evaluation: from a bank's symbol names, or from a data matrix.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// One range dict per expression of the bank (bare expressions or (id, expression) pairs), by
// symbol name: theta (0.01, 1.0); v, c, m, x (0.1, 10.0); any other `default_range`.
object get_ranges_for_bank(handle bank, handle default_range);
// {i: (min, max)} of the first `n_vars` columns of a data matrix.
object get_var_ranges(handle X, handle n_vars);

}  // namespace kt
