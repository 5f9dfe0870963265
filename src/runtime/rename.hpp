// Renaming the symbols of a sympy tree, with exactly the result of `expr.xreplace(mapping)`.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// `expr.xreplace(mapping)`.
//
// xreplace rebuilds every node above a renamed symbol through its constructor, and sympy's
// constructors spend most of their time re-deriving facts (flattening, assumption queries)
// that renaming plain symbols cannot change. Where an Add, Mul, Pow or one of a few functions
// (sin, cos, exp, log) is known to come out of its constructor as its new arguments re-sorted,
// or unevaluated, that object is built directly; every other node still goes through its
// constructor. The direct path applies when the mapping sends symbols to plain symbols, every leaf
// of the tree is a plain symbol, a rational, a finite float or a named constant, and sympy
// evaluates as it does by default; anything else is handed to xreplace itself.
object rename_symbols(handle expr, handle mapping);

}  // namespace kt
