// Python objects the module looks up once at import: the dependency modules, the sympy
// classes the tree walkers test against, and interned attribute names.
#pragma once

#include "module/py.hpp"

namespace kt {

struct Env {
    object module;  // source._brenmoor itself
    object module_dict;

    object sp, np, zss, builtins;
    object Symbol, Function, Add, Mul, Pow;
    object preorder_traversal, srepr, sympify;

    // Interned attribute names.
    object s_args, s_func, s_free_symbols, s_is_number, s_xreplace;
};

// Filled during module initialisation; never freed, so that no destructor touches Python
// after the interpreter has finalised.
Env& env();
void init_env(handle module);

// The current binding of a module global (`GRID`, `groq_client`, ...), read at the time of use
// so that callers may rebind it.
object module_global(const char* name);

}  // namespace kt
