// The module's native state, gathered in one struct built once at initialisation: the module
// whose namespace native code reads, its dependencies, the sympy classes, functions and
// internals that native tree walks test against, interned attribute names, and the objects the
// subsystems make at initialisation. Never freed: no destructor may touch Python after the
// interpreter has finalised.
#pragma once

#include <optional>

#include "runtime/py.hpp"

namespace kt {

// The bounds that parser sets on what text may ask for, read from it when first needed (the
// parser need not be importable while the module is imported): every check of untrusted text
// applies the same numbers.
struct TextLimits {
    long long max_exponent;        // absolute value of a constant exponent
    long long max_integer_digits;  // decimal digits of a constant integer
};

struct State {
    // The module whose globals native code reads (`module_global`) and whose package the formula
    // parser is imported from.
    object module, module_dict;

    object sp, np, zss, builtins;

    // sympy classes and objects.
    object Basic, Expr, Symbol, Function, Add, Mul, Pow, Number, Rational, Float, NumberSymbol;
    object exp, sin, cos, log, pi, zero, one;
    object preorder_traversal, srepr;

    // sympy internals that the native walks and renaming rely on (runtime/tree_walk.hpp,
    // runtime/rename.hpp): class attributes found in Basic, Atom and Expr, the sort key of
    // arguments, the global evaluation switches, and the assumptions of a plain symbol.
    object basic_args, basic_xreplace, basic_xreplace_step, atom_xreplace, expr_eval_power;
    object args_sortkey, global_parameters, plain_assumptions;
    bool symbol_has_plain_power = false;  // Symbol._eval_power is Expr's, which returns None

    // Interned attribute and keyword names.
    object s_args, s_func, s_free_symbols, s_is_number, s_xreplace, s_name;
    object s_args_slot, s_xreplace_step, s_argset, s_eval_power, s_assumptions0, s_is_commutative,
        s_is_finite, s_is_negative, s_is_zero, s_is_Function, s_as_base_exp, s_from_args,
        s_postprocess, s_evaluate, s_distribute, s_exp_is_pow, s_sort, s_key;
    object key_only, evaluate_only;  // keyword-name tuples ('key',) and ('evaluate',)

    // Made by the subsystems at initialisation.
    object compiler_numpy;  // the `np` that compiled compositions see: numpy with erf and erfc
    object step_cancelled;  // the exception that stops the worker of a time-limited step
    // Concept discovery's helpers, as callables that a time-limited step can run.
    object safe_simplify, canonicalize_variables, anti_unify_with_operator;

    std::optional<TextLimits> text_limits;  // read from the parser when first needed
};

const State& state();
State& mutable_state();
// Builds the state for `module` (the dependencies are imported here); a later call replaces it.
void init_state(handle module);

// `sympy.<name>`, and the builtin `name` (`sorted`, `print`, ...).
inline object sp_attr(const char* name) { return state().sp.attr(name); }
inline object builtin(const char* name) { return get_attr(state().builtins, name); }

// `str(expr)`. A plain Symbol prints as its name, which is read directly: printing goes
// through sympy's printer machinery and dominates tree walks otherwise.
object printed(handle expr);
bool printed_starts_with(handle expr, std::string_view prefix);

// The package's safe parser applied to formula text given to the API (`source.bank.parsing`,
// imported on first use): text is never evaluated as Python.
object parse_expression(handle text);
// Its limits (the state's copy, read on first use).
const TextLimits& text_limits();

// `print(*args)` through the builtin print, looked up at the time of the call.
void print(std::initializer_list<handle> args);

// The current binding of a module global (`GRID`, `groq_client`, ...), read at the time of use
// so that callers may rebind it.
object module_global(const char* name);

}  // namespace kt
