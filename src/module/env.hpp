// Python objects the module looks up once at import: the dependency modules, the sympy
// classes the tree walkers test against, and interned attribute names.
#pragma once

#include "module/py.hpp"

namespace kt {

struct Env {
    object module;  // source._brenmoor itself
    object module_dict;

    object sp, np, zss, builtins;
    object Basic, Symbol, Function, Add, Mul, Pow;
    object preorder_traversal, srepr;

    // Interned attribute names.
    object s_args, s_func, s_free_symbols, s_is_number, s_xreplace, s_name;
};

// Filled during module initialisation; never freed, so that no destructor touches Python
// after the interpreter has finalised.
Env& env();
void init_env(handle module);

// `str(expr)`. A plain Symbol prints as its name, which is read directly: printing goes
// through sympy's printer machinery and dominates tree walks otherwise.
object printed(handle expr);
bool printed_starts_with(handle expr, std::string_view prefix);

// The package's safe parser applied to formula text given to the API (`source.parsing`,
// imported on first use): text is never evaluated as Python.
object parse_expression(handle text);

// The bounds that parser sets on what text may ask for, read from it once: every check of
// untrusted text applies the same numbers.
struct TextLimits {
    long long max_exponent;        // absolute value of a constant exponent
    long long max_integer_digits;  // decimal digits of a constant integer
};
const TextLimits& text_limits();

// `print(*args)` through the builtin print, looked up at the time of the call.
void print(std::initializer_list<handle> args);

// The current binding of a module global (`GRID`, `groq_client`, ...), read at the time of use
// so that callers may rebind it.
object module_global(const char* name);

}  // namespace kt
