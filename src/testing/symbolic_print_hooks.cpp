// Hooks into the native printing and orders of expression trees: sympy expressions read into
// trees, then printed, compared by sort key and ordered natively (None where no tree holds the
// expression), for the tests to compare with sympy's own str, sort_key and orders. How often
// the native rules left a tree or an order to the oracle is read from print_fallbacks.
#include <algorithm>
#include <ctime>

#include "runtime/function.hpp"
#include "runtime/native_trees.hpp"
#include "symbolic/float_text.hpp"
#include "symbolic/order.hpp"
#include "symbolic/print.hpp"
#include "testing/hooks.hpp"
#include "testing/workbench.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

struct ExprCall {
    handle expr;
};

struct PairCall {
    handle a, b;
};

struct FloatCall {
    double value = 0.0;
    bool strip = false;
};

struct TimingCall {
    handle expr;
    double repeat = 1000;
};

struct NoCall {};

// This thread's CPU time: other processes on the machine do not count.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

object sympy_list(Workbench& w, const std::vector<sym::Expr>& items) {
    object out = new_list();
    for (sym::Expr e : items) append(out, w.sympy(e));
    return out;
}

const FuncDef str_hook = Declaration<ExprCall>{
    .name = "tree_str",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "str(expr) printed from the native tree; None where no tree holds it.",
    .body = [](const ExprCall& c) -> object {
        Workbench w;
        auto tree = w.read(c.expr);
        if (!tree) return none();
        return pystr(sym::str(w.pool, w.oracle, *tree));
    },
};

const FuncDef sort_key_hook = Declaration<PairCall>{
    .name = "tree_sort_key_compare",
    .params = {{"a", &PairCall::a}, {"b", &PairCall::b}},
    .doc = "-1, 0 or 1 as a.sort_key() compares with b.sort_key(), on the native trees; None\n"
           "where no tree holds one of them.",
    .body = [](const PairCall& c) -> object {
        Workbench w;
        auto a = w.read(c.a), b = w.read(c.b);
        if (!a || !b) return none();
        return pyint(sym::sort_key_compare(w.pool, w.oracle, *a, *b));
    },
};

const FuncDef terms_hook = Declaration<ExprCall>{
    .name = "tree_ordered_terms",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "expr.as_ordered_terms() on the native tree, as sympy expressions; None where no "
           "tree\nholds it.",
    .body = [](const ExprCall& c) -> object {
        Workbench w;
        auto tree = w.read(c.expr);
        if (!tree) return none();
        return sympy_list(w, sym::ordered_terms(w.pool, w.oracle, *tree));
    },
};

const FuncDef factors_hook = Declaration<ExprCall>{
    .name = "tree_ordered_factors",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "expr.as_ordered_factors() on the native tree, as sympy expressions; None where no "
           "tree\nholds it.",
    .body = [](const ExprCall& c) -> object {
        Workbench w;
        auto tree = w.read(c.expr);
        if (!tree) return none();
        return sympy_list(w, sym::ordered_factors(w.pool, w.oracle, *tree));
    },
};

const FuncDef float_text_hook = Declaration<FloatCall>{
    .name = "float_text",
    .params = {{"value", &FloatCall::value}, {"strip", &FloatCall::strip}},
    .doc = "A Float of this value as str prints it, with its trailing zeros stripped (inside "
           "an\nexpression) or kept (at the top level).",
    .body = [](const FloatCall& c) -> object { return pystr(sym::float_text(c.value, c.strip)); },
};

const FuncDef str_seconds_hook = Declaration<TimingCall>{
    .name = "tree_str_seconds",
    .params = {{"expr", &TimingCall::expr}, {"repeat", &TimingCall::repeat, "float", 1000.0}},
    .doc = "(CPU seconds per native str of the tree, the text): the tree read once, then\nprinted"
           " `repeat` times; None where no tree holds it.",
    .body = [](const TimingCall& c) -> object {
        Workbench w;
        auto tree = w.read(c.expr);
        if (!tree) return none();
        const long n = std::max(1L, (long)c.repeat);
        std::string text;
        const double start = thread_seconds();
        for (long k = 0; k < n; ++k) text = sym::str(w.pool, w.oracle, *tree);
        const double spent = thread_seconds() - start;
        object out = new_list();
        append(out, pyfloat(spent / (double)n));
        append(out, pystr(text));
        return out;
    },
};

const FuncDef fallbacks_hook = Declaration<NoCall>{
    .name = "print_fallbacks",
    .params = {},
    .doc = "(trees printed by the oracle, sums and products ordered by the oracle) so far.",
    .body = [](const NoCall&) -> object {
        object out = new_list();
        append(out, pyint(sym::str_fallbacks()));
        append(out, pyint(sym::order_fallbacks()));
        return out;
    },
};

}  // namespace

void define_symbolic_print_hooks(handle module) {
    for (const FuncDef* def : {&str_hook, &sort_key_hook, &terms_hook, &factors_hook,
                               &float_text_hook, &str_seconds_hook, &fallbacks_hook})
        define(module, *def);
}

}  // namespace kt
