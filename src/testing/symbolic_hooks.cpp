// Hooks into the native expression trees: sympy expressions read into trees, encoded, compared
// and built natively, each result given back as a sympy expression (or None where a tree
// cannot hold the expression), for the tests to compare with sympy's own.
#include "runtime/function.hpp"
#include "runtime/native_trees.hpp"
#include "symbolic/build.hpp"
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

}  // namespace

void define_symbolic_hooks(handle module) {
    for (const FuncDef* def : {&roundtrip_hook, &compare_hook, &negate_hook}) define(module, *def);
}

}  // namespace kt
