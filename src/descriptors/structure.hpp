// Shape of one sympy expression tree: depth, operators, shared variables, unary nesting,
// canonical variable names, the labelled tree for edit distance, wildcard renaming.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// Native forms, shared with the other subsystems.
long depth(handle expr);
bool is_unary_func(handle expr);
long unary_depth(handle expr);
object dfs_operators(handle expr);
bool repeated_var(handle expr);
object canonicalize_expr(handle expr, handle source_id);
object extract_structure(handle expr);
object to_zss(handle expr);
object normalize_wildcards(handle expr);

}  // namespace kt
