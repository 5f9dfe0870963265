// The module's own callable type. Every exported function is declared once
// (runtime/declaration.hpp); the type binds arguments like a Python function, applies the
// typed-parameter checks, and exposes the usual function metadata (`__defaults__`,
// `__kwdefaults__`, annotation strings, `__signature__`) so that `inspect`, `help()` and callers
// that read defaults from signatures work. nanobind's functions expose none of that, hence a type
// of our own.
#pragma once

#include "runtime/declaration.hpp"

namespace kt {

// The Float parameter rule applied to a value computed inside a function: converted to a
// double, or the TypeError that names the parameter.
double float_argument(handle value, const char* param);

// Creates a function object for `def` (kept alive for the life of the process) as a member of
// `module` (its `__module__`), with the declared defaults made Python objects.
object make_function(const FuncDef& def, handle module);

// Defines `def` as an attribute of the module.
void define(handle module, const FuncDef& def);

// The native function type, for identity checks; `type_name` is its dotted name (module and type).
PyTypeObject* function_type();
void init_function_type(const char* type_name);

}  // namespace kt
