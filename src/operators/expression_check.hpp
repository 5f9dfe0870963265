// The checks numpy text passes before it is compiled: only known node kinds, names and
// attributes, and no integer constant or constant exponent beyond the bounds of
// operators/expression_limits.hpp. Each failure is a ValueError that says what was refused.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// Before parsing: a run of digits longer than kMaxIntegerDigits (Python refuses to parse
// long decimal literals with a SyntaxError that names none of our limits).
void check_literal_lengths(handle numpy_expr);

// After parsing `tree` (ast.parse in "eval" mode). `cls` is the compiler class, whose
// MATH_FUNCS and CONSTANTS name the numpy attributes allowed.
void check_expression(handle cls, handle numpy_expr, handle tree);

}  // namespace kt
