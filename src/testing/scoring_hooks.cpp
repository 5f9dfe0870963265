// Hooks into the native scoring of clusters: the fold, the score, a cluster's generalisation
// and the forms it is judged and shown in, each on sympy expressions read into native trees
// and given back as sympy, for the tests to compare with the sympy path's; and the scoring of
// clusters of records with the number of constructions it asked of sympy.
#include "antiunify/native_cluster.hpp"
#include "antiunify/native_fold.hpp"
#include "pipeline/native_scoring.hpp"
#include "runtime/function.hpp"
#include "testing/hooks.hpp"
#include "testing/workbench.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

struct PairCall {
    handle a, b;
};

struct ExprsCall {
    handle exprs;
    bool merge;
};

struct ExprCall {
    handle expr;
};

// The trees of a list of expressions, or nothing where a tree cannot hold one.
std::optional<std::vector<sym::Expr>> read_all(Workbench& w, handle exprs) {
    Items items(exprs);
    std::vector<sym::Expr> out;
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        auto e = w.read(items[k]);
        if (!e) return std::nullopt;
        out.push_back(*e);
    }
    return out;
}

const FuncDef anti_unify_hook = Declaration<PairCall>{
    .name = "scoring_anti_unify",
    .params = {{"a", &PairCall::a}, {"b", &PairCall::b}},
    .doc = "_anti_unify(a, b, [0], {}, {}) on native trees; None where they do not decide it.",
    .body = [](const PairCall& c) -> object {
        Workbench w;
        auto a = w.read(c.a), b = w.read(c.b);
        if (!a || !b) return none();
        try {
            NativeFold fold(w.builder);
            return w.sympy(fold(*a, *b));
        } catch (const sym::Unsupported&) {
            return none();
        }
    },
};

const FuncDef score_hook = Declaration<PairCall>{
    .name = "scoring_structural_score",
    .params = {{"a", &PairCall::a}, {"b", &PairCall::b}},
    .doc = "_structural_score(a, b) on native trees; None where no tree holds one of them.",
    .body = [](const PairCall& c) -> object {
        Workbench w;
        auto a = w.read(c.a), b = w.read(c.b);
        if (!a || !b) return none();
        NativeFold fold(w.builder);
        return pyfloat(fold.score(*a, *b));
    },
};

const FuncDef generalize_hook = Declaration<ExprsCall>{
    .name = "scoring_generalize",
    .params = {{"exprs", &ExprsCall::exprs}, {"merge", &ExprsCall::merge}},
    .doc = "(handled, formula): the generalisation detection makes of a cluster's canonical "
           "exprs,\nwith its wildcards merged when asked, None where it has none; handled is "
           "False (and\nformula None) where the native path leaves the cluster to sympy.",
    .body = [](const ExprsCall& c) -> object {
        Workbench w;
        auto exprs = read_all(w, c.exprs);
        if (!exprs) return nb::make_tuple(false, none());
        try {
            std::optional<sym::Expr> formula = generalize_cluster(w.builder, *exprs);
            if (formula && c.merge) formula = merge_wildcards(w.builder, *formula);
            return nb::make_tuple(true, formula ? w.sympy(*formula) : none());
        } catch (const sym::Unsupported&) {
            return nb::make_tuple(false, none());
        }
    },
};

const FuncDef forms_hook = Declaration<ExprCall>{
    .name = "scoring_forms",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "(merged, normalized, displayed, density) of a generalisation on native trees, as\n"
           "_merge_wildcards, _normalize_wildcards, _display_canonical_expr and "
           "_wildcard_density\ngive them; None where the native path does not decide them.",
    .body = [](const ExprCall& c) -> object {
        Workbench w;
        auto e = w.read(c.expr);
        if (!e) return none();
        try {
            return nb::make_tuple(w.sympy(merge_wildcards(w.builder, *e)),
                                  w.sympy(normalize_wildcards(w.builder, *e)),
                                  w.sympy(display_canonical(w.builder, *e)), wildcard_density(*e));
        } catch (const sym::Unsupported&) {
            return none();
        }
    },
};

struct CountedCall : NativeScoringCall {};

const FuncDef counted_hook = Declaration<CountedCall>{
    .name = "scoring_clusters_counted",
    .params = {{"clusters", &CountedCall::clusters},
               {"library", &CountedCall::library},
               {"lib_descs", &CountedCall::lib_descs},
               {"bank_size", &CountedCall::bank_size},
               {"novelty_threshold", &CountedCall::novelty_threshold},
               {"max_wildcard_density", &CountedCall::max_wildcard_density},
               {"merge_wildcards", &CountedCall::merge_wildcards}},
    .doc = "(_score_native_clusters with default weights, the constructions it asked of sympy).",
    .body = [](const CountedCall& c) -> object {
        long delegated = 0;
        NativeScoringCall call = c;
        call.delegated = &delegated;
        object accounts = score_native_clusters(call);
        return nb::make_tuple(accounts, delegated);
    },
};

}  // namespace

void define_scoring_hooks(handle module) {
    for (const FuncDef* def :
         {&anti_unify_hook, &score_hook, &generalize_hook, &forms_hook, &counted_hook})
        define(module, *def);
}

}  // namespace kt
