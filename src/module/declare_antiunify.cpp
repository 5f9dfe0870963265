// The public functions of anti-unification: predicates, pairing, the fold, cluster generalisation.
#include "module/declarations.hpp"

#include "antiunify/anti_unify.hpp"
#include "antiunify/cluster.hpp"
#include "antiunify/pairing.hpp"
#include "antiunify/predicates.hpp"
#include "module/calls.hpp"
#include "runtime/symbols.hpp"

namespace kt {

namespace {

struct AntiUnifyCall {
    handle a, b, counter, memo, variable_memo;
};

struct ClusterExprsCall {
    handle exprs;
};

struct ValidGeneralizationCall {
    handle expr;
    double max_wildcard_density;
};

struct PairingCall {
    handle a_args, b_args;
};

void bind_wildcard_density(handle m) {
    bind_global(m, "MAX_WILDCARD_DENSITY", pyfloat(kMaxWildcardDensity));
}

}  // namespace

const Section antiunify_section{
    Declaration<ExprCall>{
        .name = "_is_wildcard",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "bool",
        .doc = "Return True if expr is one of KLTN's generated wildcards.",
        .body = [](const ExprCall& c) { return pybool(is_wildcard(c.expr)); },
    },
    Declaration<PairCall>{
        .name = "_structural_score",
        .params = {{"a", &PairCall::a, "sp.Expr"}, {"b", &PairCall::b, "sp.Expr"}},
        .returns = "float",
        .doc = "\n"
               "    Recursively measure how structurally compatible two expressions are.\n"
               "    Higher = better pairing.\n"
               "    Exact matches are strongly preferred.\n"
               "    Constants are treated separately from variables.\n"
               "    Matching operators receive a bonus.\n"
               "    Matching nested structure receives additional score.\n"
               "    ",
        .body = [](const PairCall& c) { return pyfloat(structural_score(c.a, c.b)); },
    },
    Declaration<PairingCall>{
        .name = "_best_commutative_pairing",
        .params = {{"a_args", &PairingCall::a_args}, {"b_args", &PairingCall::b_args}},
        .doc = "\n"
               "    Find the best correspondence between arguments of a commutative\n"
               "    operator such as Add or Mul.\n"
               "    For small argument sets, search all permutations.\n"
               "    For larger sets, use a greedy highest-score matching.\n"
               "    ",
        .body = [](const PairingCall& c) { return best_commutative_pairing(c.a_args, c.b_args); },
    },
    Declaration<ExprCall>{
        .name = "_is_source_variable",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "bool",
        .body = [](const ExprCall& c) { return pybool(is_source_variable(c.expr)); },
    },
    Declaration<ExprCall>{
        .name = "_is_generalized_variable",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "bool",
        .doc = "Return True for variables produced by an earlier anti-unification fold.",
        .body = [](const ExprCall& c) { return pybool(is_generalized_variable(c.expr)); },
    },
    Declaration<PairCall>{
        .name = "_canonical_pair_key",
        .params = {{"a", &PairCall::a, "sp.Expr"}, {"b", &PairCall::b, "sp.Expr"}},
        .doc = "\n"
               "    Make the memoization key symmetric.\n"
               "    AU(a, b) should produce the same wildcard as AU(b, a).\n"
               "    ",
        .body = [](const PairCall& c) { return canonical_pair_key(c.a, c.b); },
    },
    Declaration<ExprCall>{
        .name = "_multiplicative_args",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .doc = "Expose positive integer powers as repeated factors for matching.",
        .body = [](const ExprCall& c) { return multiplicative_args(c.expr); },
    },
    Declaration<ExprCall>{
        .name = "_wildcard_density",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "float",
        .doc = "\n"
               "    Fraction of an expression's nodes that are bare \xcf\x86-wildcards.\n"
               "    A formula close to 1.0 here carries almost no real structure \xe2\x80\x94\n"
               "    e.g. \xcf\x86"
               "1**\xcf\x86"
               "2 says nothing beyond 'something to the power of something'.\n"
               "    Used by BOTH _is_valid_generalization (pre-filter inside detect_structure)\n"
               "    and filter_candidates (gate 3) \xe2\x80\x94 see the threshold note below.\n"
               "    ",
        .body = [](const ExprCall& c) { return pyfloat(wildcard_density(c.expr)); },
    },
    Step{bind_wildcard_density},
    Declaration<ValidGeneralizationCall>{
        .name = "_is_valid_generalization",
        .params = {{"expr", &ValidGeneralizationCall::expr, "sp.Expr"},
                   {"max_wildcard_density", &ValidGeneralizationCall::max_wildcard_density, "float",
                    kMaxWildcardDensity}},
        .returns = "bool",
        .doc =
            "\n"
            "    Reject obviously useless anti-unifications before behavioral testing.\n"
            "    This is a cheap PRE-filter inside detect_structure \xe2\x80\x94 it uses the same\n"
            "    threshold as filter_candidates's gate 3 so the two don't silently\n"
            "    disagree about what counts as \"too generic.\"\n"
            "    ",
        .body =
            [](const ValidGeneralizationCall& c) {
                return pybool(is_valid_generalization(c.expr, c.max_wildcard_density));
            },
    },
    Declaration<AntiUnifyCall>{
        .name = "_anti_unify",
        .params = {{"a", &AntiUnifyCall::a, "sp.Expr"},
                   {"b", &AntiUnifyCall::b, "sp.Expr"},
                   {"counter", &AntiUnifyCall::counter, "list[int]", Check::List},
                   {"memo", &AntiUnifyCall::memo, "dict", Check::Dict},
                   {"variable_memo", &AntiUnifyCall::variable_memo, "dict", Check::Dict}},
        .returns = "sp.Expr",
        .body =
            [](const AntiUnifyCall& c) {
                return anti_unify(c.a, c.b, c.counter, c.memo, c.variable_memo);
            },
    },
    Declaration<ExprCall>{
        .name = "_display_canonical_expr",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "sp.Expr",
        .doc = "\n"
               "    Convert internal source-specific variable names back to the\n"
               "    human-readable v0, v1, ... representation.\n"
               "    ",
        .body = [](const ExprCall& c) { return display_canonical_expr(c.expr); },
    },
    Declaration<ClusterExprsCall>{
        .name = "anti_unify_cluster",
        .params = {{"exprs", &ClusterExprsCall::exprs, "list[sp.Expr]", Check::List}},
        .returns = "sp.Expr | None",
        .body = [](const ClusterExprsCall& c) { return anti_unify_cluster(c.exprs); },
    },
    Declaration<ExprCall>{
        .name = "_merge_wildcards",
        .params = {{"expr", &ExprCall::expr, "sp.Expr"}},
        .returns = "sp.Expr",
        .doc = "The formula with the bare wildcards among the arguments of one sum or product made "
               "one.",
        .body = [](const ExprCall& c) { return merge_wildcards(c.expr); },
    },
};

}  // namespace kt
