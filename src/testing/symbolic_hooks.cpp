// Hooks into the native expression trees: sympy expressions read into trees, encoded, compared
// and built natively, each result given back as a sympy expression (or None where a tree
// cannot hold the expression), for the tests to compare with sympy's own.
#include "runtime/function.hpp"
#include "runtime/native_trees.hpp"
#include "runtime/numpy.hpp"
#include "symbolic/build.hpp"
#include "symbolic/canonical.hpp"
#include "symbolic/codec.hpp"
#include "symbolic/compare.hpp"
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

const FuncDef roundtrip_hook = Declaration<ExprCall>{
    .name = "tree_roundtrip",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "The expression read into a native tree, encoded, decoded into another pool and "
           "built again\nas sympy (unevaluated); None where no tree holds it.",
    .body = [](const ExprCall& c) -> object {
        Workbench first, second;
        auto tree = first.read(c.expr);
        if (!tree) return none();
        sym::Expr again = sym::decode(second.pool, sym::encode(*tree));
        return second.sympy(again);
    },
};

const FuncDef compare_hook = Declaration<PairCall>{
    .name = "tree_compare",
    .params = {{"a", &PairCall::a}, {"b", &PairCall::b}},
    .doc = "a.compare(b) on the native trees; None where no tree holds one of them.",
    .body = [](const PairCall& c) -> object {
        Workbench w;
        auto a = w.read(c.a), b = w.read(c.b);
        if (!a || !b) return none();
        return pyint(sym::compare(*a, *b));
    },
};

const FuncDef negate_hook = Declaration<ExprCall>{
    .name = "tree_negate",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "-expr built natively; None where no tree holds it.",
    .body = [](const ExprCall& c) -> object {
        Workbench w;
        auto a = w.read(c.expr);
        if (!a) return none();
        return w.sympy(w.builder.negate(*a));
    },
};

struct CanonicalCall {
    handle expr, values;
    double tolerance;
};

// The values a Python callable gives for a term (a float64 array, or None).
std::optional<std::vector<double>> values_of(handle fn, handle term) {
    object v = fn(term);
    if (v.is_none()) return std::nullopt;
    Items items(v);
    std::vector<double> out;
    for (Py_ssize_t k = 0; k < items.size(); ++k) out.push_back(as_double(items[k]));
    return out;
}

const FuncDef canonical_hook = Declaration<CanonicalCall>{
    .name = "tree_canonical",
    .params = {{"expr", &CanonicalCall::expr},
               {"values", &CanonicalCall::values},
               {"tolerance", &CanonicalCall::tolerance}},
    .doc = "The canonical form built natively, terms evaluated by values(term): (core, "
           "intercept, scale,\nchanges, values or None); None where no tree holds expr.",
    .body = [](const CanonicalCall& c) -> object {
        Workbench w;
        auto e = w.read(c.expr);
        if (!e) return none();
        sym::CanonicalForm form = sym::canonical_form(
            w.builder, *e, [&](sym::Expr t) { return values_of(c.values, w.sympy(t)); },
            c.tolerance);
        object changes = new_list();
        for (const std::string& text : form.changes) append(changes, pystr(text));
        object values = none();
        if (!form.values.empty()) {
            values = new_list();
            for (double v : form.values) append(values, pyfloat(v));
        }
        return nb::make_tuple(w.sympy(form.core), form.intercept, form.scale, changes, values);
    },
};

}  // namespace

void define_symbolic_hooks(handle module) {
    for (const FuncDef* def : {&roundtrip_hook, &compare_hook, &negate_hook, &canonical_hook})
        define(module, *def);
}

}  // namespace kt
