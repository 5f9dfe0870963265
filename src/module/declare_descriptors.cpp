// The public functions of the descriptors: structure, behaviour, variable ranges, describe.
#include "module/declarations.hpp"

#include "descriptors/describe.hpp"
#include "descriptors/numeric_behavior.hpp"
#include "descriptors/ranges.hpp"
#include "descriptors/structure.hpp"
#include "module/calls.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

struct CanonicalizeCall {
    handle expr, source_id;
};

struct ExtractBehaviorCall {
    handle expr, var_ranges;
};

struct EvalSafeCall {
    handle expr, grid, var_ranges, seed;
};

struct NumericValuesCall {
    handle expr, symbols, arrays;
};

struct GrowthClassCall {
    handle vals;
};

struct DescribeCall {
    handle expr, var_ranges, source_id;
};

struct VarRangesCall {
    handle X, n_vars;
};

struct BankRangesCall {
    handle bank, default_range;
};

// GRID takes its place in the namespace here, bound to the configured grid; the module's own grids
// replace it once `_eval_safe` is defined.
void bind_configured_grid(handle m) { bind_global(m, "GRID", module_global("GRID_LOGSPACE")); }

void bind_grids(handle m) {
    object np = state().np;
    bind_global(m, "GRID", np.attr("logspace")(-1, 2, 64));
    bind_global(m, "GRID_LINEAR", np.attr("linspace")(0.1, 20.0, 64));
}

}  // namespace

const Section descriptors_section{
    expr_descriptor_record,
    Declaration<ExprCall>{
        .name = "_depth",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "int",
        .body = [](const ExprCall& c) { return pyint(depth(c.expr)); },
    },
    Declaration<ExprCall>{
        .name = "_is_unary_func",
        .params = {{"expr", &ExprCall::expr}},
        .returns = "bool",
        .body = [](const ExprCall& c) { return pybool(is_unary_func(c.expr)); },
    },
    Declaration<ExprCall>{
        .name = "_unary_depth",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "int",
        .body = [](const ExprCall& c) { return pyint(unary_depth(c.expr)); },
    },
    Declaration<ExprCall>{
        .name = "_dfs_operators",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "list[str]",
        .body = [](const ExprCall& c) { return dfs_operators(c.expr); },
    },
    Declaration<ExprCall>{
        .name = "_repeated_var",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "bool",
        .body = [](const ExprCall& c) { return pybool(repeated_var(c.expr)); },
    },
    Declaration<CanonicalizeCall>{
        .name = "_canonicalize_expr",
        .params = {{"expr", &CanonicalizeCall::expr, "sp.Expr"},
                   {"source_id", &CanonicalizeCall::source_id, nullptr, kNone}},
        .returns = "sp.Expr",
        .doc = "Canonicalize an expression for structural comparison.\n"
               "\n"
               "    Numeric constants remain numeric.\n"
               "\n"
               "    Variables are renamed deterministically.\n"
               "\n"
               "    When source_id is provided, variables receive an internal\n"
               "    source-specific namespace:\n"
               "\n"
               "        __KLTN_0_v0\n"
               "        __KLTN_0_v1\n"
               "\n"
               "    versus:\n"
               "\n"
               "        __KLTN_1_v0\n"
               "        __KLTN_1_v1\n"
               "\n"
               "    Thus variables from different source expressions cannot become\n"
               "    accidentally equal merely because they both canonicalize to v0/v1.\n"
               "    ",
        .body = [](const CanonicalizeCall& c) { return canonicalize_expr(c.expr, c.source_id); },
    },
    Declaration<ExprCall>{
        .name = "extract_structure",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "dict",
        .body = [](const ExprCall& c) { return extract_structure(c.expr); },
    },
    Step{bind_configured_grid},
    Declaration<GrowthClassCall>{
        .name = "_growth_class",
        .params = {{"vals", &GrowthClassCall::vals, "Optional[np.ndarray]"}},
        .returns = "str",
        .body = [](const GrowthClassCall& c) { return growth_class(c.vals); },
    },
    Declaration<EvalSafeCall>{
        .name = "_eval_safe",
        .params = {{"expr", &EvalSafeCall::expr, "sp.Expr"},
                   {"grid", &EvalSafeCall::grid, "np.ndarray"},
                   {"var_ranges", &EvalSafeCall::var_ranges, "dict", Check::DictOrNone, kNone},
                   {"seed", &EvalSafeCall::seed, "int", Check::Int, 0}},
        .doc =
            "\n"
            "    Evaluate expression on a grid. If var_ranges is provided, each variable\n"
            "    is evaluated on its actual min-max range from the source dataset.\n"
            "    Otherwise, falls back to a log-positive grid.\n"
            "\n"
            "    Returns (vals, coord) where `coord` is the REAL x-axis to use for any\n"
            "    spacing-dependent computation (derivatives, integrals) downstream \xe2\x80\x94\n"
            "    never assume the caller's `grid` argument reflects the actual sample\n"
            "    points once var_ranges is supplied; its scale can differ wildly from\n"
            "    the true track.\n"
            "\n"
            "    Symbols are sorted alphabetically (str(sym)) to match the ordering\n"
            "    convention used when var_ranges indices were assigned.\n"
            "    ",
        .body =
            [](const EvalSafeCall& c) { return eval_safe(c.expr, c.grid, c.var_ranges, c.seed); },
    },
    Step{bind_grids},
    Declaration<ExtractBehaviorCall>{
        .name = "extract_behavior",
        .params = {{"expr", &ExtractBehaviorCall::expr, "sp.Expr"},
                   {"var_ranges", &ExtractBehaviorCall::var_ranges, "dict", Check::DictOrNone,
                    kNone}},
        .returns = "dict",
        .body = [](const ExtractBehaviorCall& c) { return extract_behavior(c.expr, c.var_ranges); },
    },
    Declaration<NumericValuesCall>{
        .name = "_numeric_values",
        .params = {{"expr", &NumericValuesCall::expr, "sp.Expr"},
                   {"symbols", &NumericValuesCall::symbols, "list", Check::List},
                   {"arrays", &NumericValuesCall::arrays, "list", Check::List}},
        .returns = "object",
        .doc = "The expression's value for one array per symbol, as describe evaluates it (not "
               "cleaned).",
        .body =
            [](const NumericValuesCall& c) { return numeric_values(c.expr, c.symbols, c.arrays); },
    },
    Declaration<ExprCall>{
        .name = "to_zss",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "zss.Node",
        .body = [](const ExprCall& c) { return to_zss(c.expr); },
    },
    Declaration<ExprCall>{
        .name = "_normalize_wildcards",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "sp.Expr",
        .body = [](const ExprCall& c) { return normalize_wildcards(c.expr); },
    },
    Declaration<BankRangesCall>{
        .name = "get_ranges_for_bank",
        .params = {{"bank", &BankRangesCall::bank},
                   {"default_range", &BankRangesCall::default_range, nullptr, Floats{{0.1, 10.0}}}},
        .doc = "\n"
               "    Generate a var_ranges_bank for a given expression bank.\n"
               "\n"
               "    Args:\n"
               "        bank: list of expressions or list of (id, expr) tuples.\n"
               "        default_range: (min, max) tuple for variables not explicitly mapped.\n"
               "\n"
               "    Returns:\n"
               "        list of dicts, each dict {i: (min, max)} where i is the variable index.\n"
               "    ",
        .body =
            [](const BankRangesCall& c) { return get_ranges_for_bank(c.bank, c.default_range); },
    },
    Declaration<VarRangesCall>{
        .name = "get_var_ranges",
        .params = {{"X", &VarRangesCall::X}, {"n_vars", &VarRangesCall::n_vars}},
        .doc = "X is the numpy array from pmlb.fetch_data(). Returns {i: (min, max)}.",
        .body = [](const VarRangesCall& c) { return get_var_ranges(c.X, c.n_vars); },
    },
};

// Bound after the similarity functions.
const Section describe_section{
    Declaration<DescribeCall>{
        .name = "describe",
        .params = {{"expr", &DescribeCall::expr, "sp.Expr"},
                   {"var_ranges", &DescribeCall::var_ranges, "dict", Check::DictOrNone, kNone},
                   {"source_id", &DescribeCall::source_id, nullptr, kNone}},
        .returns = "ExprDescriptor",
        .doc =
            "\n"
            "    Build a comprehensive descriptor for a symbolic expression.\n"
            "    \n"
            "    Extracts both structural and behavioral characteristics for comparison and "
            "clustering.\n"
            "    \n"
            "    Args:\n"
            "        expr (sp.Expr or str): The symbolic expression to describe.\n"
            "        var_ranges (dict, optional): Variable ranges {var_index: (min, max)} for "
            "behavior extraction.\n"
            "            If None, uses log-space grid.\n"
            "        source_id (int, optional): Namespace ID for variable canonicalization (used "
            "in "
            "clustering\n"
            "            to prevent accidental unification across different source expressions).\n"
            "    \n"
            "    Returns:\n"
            "        ExprDescriptor: A dataclass containing:\n"
            "            - expr: normalized expression\n"
            "            - Structure fields: depth, n_nodes, n_vars, operators, repeated_var, "
            "etc.\n"
            "            - Behavior fields: behavior_vec, is_periodic, is_monotone, growth_class, "
            "etc.\n"
            "            - Validity metrics: frac_invalid (fraction of NaN/Inf evaluations)\n"
            "    \n"
            "    Raises:\n"
            "        ValueError: If expr cannot be sympified.\n"
            "    ",
        .body = [](const DescribeCall& c) { return describe(c.expr, c.var_ranges, c.source_id); },
    },
};

}  // namespace kt
