// Composition text compiled into a vectorised numpy function: operator calls expanded, math
// names rewritten to numpy's, the expression checked, then the function generated. The class
// methods of NumpyCompiler, which read MATH_FUNCS and CONSTANTS from the class they are called on.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// Called at initialisation: the namespace compiled functions see as `np` (numpy, plus erf and
// erfc as functions of `module`), kept in the state.
void init_compiler_namespace(handle module);

namespace numpy_compiler {

// The class attributes: the math function names rewritten to numpy's (a set), and the constants
// with their numpy spelling (a dict).
object math_funcs();
object constants();

object to_numpy_expr(handle cls, handle expr, handle op);
// The variable names of numpy text, sorted.
object extract_variables(handle cls, handle numpy_expr);
// (the result with NaN and infinities replaced, whether it was complex).
object clean_result(handle result);
// (function, variables, numpy text) of composition text.
object compile(handle cls, handle expr, handle op);
// The compiled composition at the given variable values: a float, or the cleaned array.
object evaluate(handle cls, handle expr, handle op, handle kwargs);

}  // namespace numpy_compiler

}  // namespace kt
