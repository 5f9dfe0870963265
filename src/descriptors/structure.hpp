// Shape of one sympy expression tree: depth, operators, shared variables, unary nesting,
// canonical variable names, the labelled tree for edit distance, wildcard renaming.
#pragma once

#include "runtime/function.hpp"

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

extern const FuncDef depth_def, is_unary_func_def, unary_depth_def, dfs_operators_def,
    repeated_var_def, canonicalize_expr_def, extract_structure_def, to_zss_def,
    normalize_wildcards_def;

}  // namespace kt
