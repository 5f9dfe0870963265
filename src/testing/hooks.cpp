#include "testing/hooks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "antiunify/cluster.hpp"
#include "antiunify/scoring.hpp"
#include "concepts/workers.hpp"
#include "descriptors/native_eval.hpp"
#include "kernels/python_sum.hpp"
#include "kernels/sequence_ratio.hpp"
#include "kernels/similarity.hpp"
#include "kernels/tree_distance.hpp"
#include "runtime/function.hpp"
#include "runtime/numpy.hpp"
#include "runtime/off_gil.hpp"
#include "similarity/graph.hpp"
#include "similarity/matrix.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/weights.hpp"

namespace kt {

namespace {

// Hashable Python values to dense integers, equal values to equal integers.
class Interner {
public:
    int of(handle value) {
        PyObject* found = PyDict_GetItemWithError(ids_.ptr(), value.ptr());
        if (found) return (int)PyLong_AsLong(found);
        if (PyErr_Occurred()) throw nb::python_error();
        int id = (int)PyDict_GET_SIZE(ids_.ptr());
        check_status(PyDict_SetItem(ids_.ptr(), value.ptr(), pyint(id).ptr()));
        return id;
    }

private:
    object ids_ = check(PyDict_New());
};

// A tree given as (label, [children...]).
int add_node(handle node, Interner& labels, kernels::FlatTreeBuilder& builder) {
    RecursionGuard guard(" while flattening a tree");
    auto [label, children] = unpack2(node);
    Items kids(children);
    int first = -1;
    for (Py_ssize_t i = 0; i < kids.size(); ++i) {
        int child = add_node(kids[i], labels, builder);
        if (i == 0) first = child;
    }
    return builder.finish(labels.of(label), first);
}

// Two (label, [children]) trees with labels in common.
std::pair<kernels::FlatTree, kernels::FlatTree> two_trees(handle a, handle b, Interner& labels) {
    kernels::FlatTreeBuilder ba, bb;
    add_node(a, labels, ba);
    add_node(b, labels, bb);
    return {ba.take(), bb.take()};
}

std::vector<int> interned(handle seq, Interner& labels) {
    Items items(seq);
    std::vector<int> out;
    for (Py_ssize_t i = 0; i < items.size(); ++i) out.push_back(labels.of(items[i]));
    return out;
}

struct Pair {
    handle a, b;
};
struct WildcardPair {
    handle a, b, wildcard;
};
struct FoldCall {
    handle exprs;
    bool literal_scores;
};
struct ValuesCall {
    handle values;
};
struct MatrixCall {
    handle descriptors, sim_kwargs;
};
struct TimeoutCall {
    handle func, timeout, args;
};
struct BoundCall {
    handle a, b;
    double alpha, beta;
    bool exact_behaviour;
};
struct WithinCall {
    handle a, b, max_distance;
};
struct EveryPairCall {
    handle rows_packed, cols_packed;
    double threshold, alpha, beta;
    bool same;
};
struct PairsCall {
    handle descriptors;
    bool reference;
    handle threshold;
};
struct ProgramCall {
    handle expr, syms, arrays;
};

const FuncDef tree_distance_hook = Declaration<Pair>{
    .name = "tree_distance",
    .params = {{"a", &Pair::a}, {"b", &Pair::b}},
    .doc = "Unit-cost tree edit distance of two (label, [children]) trees.",
    .body =
        [](const Pair& c) {
            Interner labels;
            auto [ta, tb] = two_trees(c.a, c.b, labels);
            kernels::TreeDistanceScratch scratch;
            return pyint(tree_distance_released(ta, tb, scratch));
        },
};

const FuncDef tree_distance_wildcard_hook = Declaration<WildcardPair>{
    .name = "tree_distance_wildcard",
    .params = {{"a", &WildcardPair::a},
               {"b", &WildcardPair::b},
               {"wildcard", &WildcardPair::wildcard}},
    .doc = "Unit-cost tree edit distance where the label `wildcard` relabels any leaf for free.",
    .body =
        [](const WildcardPair& c) {
            Interner labels;
            const int wildcard = labels.of(c.wildcard);
            auto [ta, tb] = two_trees(c.a, c.b, labels);
            kernels::TreeDistanceScratch scratch;
            return pyint(kernels::tree_distance_wildcard(ta, tb, wildcard, scratch));
        },
};

const FuncDef sequence_ratio_hook = Declaration<Pair>{
    .name = "sequence_ratio",
    .params = {{"a", &Pair::a}, {"b", &Pair::b}},
    .doc = "Matching-blocks similarity ratio of two sequences of hashable items.",
    .body =
        [](const Pair& c) {
            Interner labels;
            std::vector<int> ia = interned(c.a, labels), ib = interned(c.b, labels);
            kernels::SequenceScratch scratch;
            return pyfloat(kernels::sequence_ratio(ia.data(), (int)ia.size(), ib.data(),
                                                   (int)ib.size(), scratch));
        },
};

const FuncDef structural_score_literal_hook = Declaration<Pair>{
    .name = "structural_score_literal",
    .params = {{"a", &Pair::a}, {"b", &Pair::b}},
    .doc = "Structural score by the recursive definition, without the node table.",
    .body = [](const Pair& c) { return pyfloat(structural_score_literal(c.a, c.b)); },
};

const FuncDef anti_unify_cluster_hook = Declaration<FoldCall>{
    .name = "anti_unify_cluster",
    .params = {{"exprs", &FoldCall::exprs, nullptr, Check::List},
               {"literal_scores", &FoldCall::literal_scores, nullptr, false}},
    .doc = "Cluster fold; with literal_scores, every structural score is computed recursively.",
    .body = [](const FoldCall& c) { return anti_unify_cluster(c.exprs, c.literal_scores); },
};

const FuncDef python_sum_hook = Declaration<ValuesCall>{
    .name = "python_sum",
    .params = {{"values", &ValuesCall::values}},
    .doc = "The native float sum of a sequence of floats.",
    .body =
        [](const ValuesCall& c) {
            Items items(c.values);
            kernels::PythonSum sum;
            for (Py_ssize_t i = 0; i < items.size(); ++i) sum.add(as_double(items[i]));
            return pyfloat(sum.value());
        },
};

const FuncDef pairwise_matrix_direct_hook = Declaration<MatrixCall>{
    .name = "pairwise_matrix_direct",
    .params = {{"descriptors", &MatrixCall::descriptors, nullptr, Check::List},
               {"sim_kwargs", &MatrixCall::sim_kwargs, nullptr, Check::Any, {}, Kind::VarKw}},
    .doc = "pairwise_matrix measuring every pair's trees, repeated trees included.",
    .body = [](const MatrixCall& c) { return pairwise_matrix(c.descriptors, c.sim_kwargs, false); },
};

const FuncDef run_with_timeout_hook = Declaration<TimeoutCall>{
    .name = "run_with_timeout",
    .params = {{"func", &TimeoutCall::func},
               {"timeout", &TimeoutCall::timeout, nullptr, Check::Int},
               {"args", &TimeoutCall::args, nullptr, Floats{}}},
    .doc = "The time-limited call runner of concept discovery.",
    .body =
        [](const TimeoutCall& c) {
            const long timeout = PyLong_AsLong(c.timeout.ptr());
            if (timeout == -1 && PyErr_Occurred()) throw nb::python_error();
            return run_with_timeout(c.func, timeout, c.args);
        },
};

const FuncDef similarity_bound_hook = Declaration<BoundCall>{
    .name = "similarity_bound",
    .params = {{"a", &BoundCall::a},
               {"b", &BoundCall::b},
               {"alpha", &BoundCall::alpha, nullptr, kDefaultAlpha},
               {"beta", &BoundCall::beta, nullptr, kDefaultBeta},
               {"exact_behaviour", &BoundCall::exact_behaviour, nullptr, true}},
    .doc = "The upper bound the similarity graph prunes with.",
    .body =
        [](const BoundCall& c) {
            return pyfloat(similarity_bound(c.a, c.b, c.alpha, c.beta, c.exact_behaviour));
        },
};

const FuncDef every_pair_block_hook = Declaration<EveryPairCall>{
    .name = "graph_block_every_pair",
    .params = {{"rows_packed", &EveryPairCall::rows_packed},
               {"cols_packed", &EveryPairCall::cols_packed},
               {"threshold", &EveryPairCall::threshold},
               {"alpha", &EveryPairCall::alpha, nullptr, kDefaultAlpha},
               {"beta", &EveryPairCall::beta, nullptr, kDefaultBeta},
               {"same", &EveryPairCall::same, nullptr, false}},
    .doc = "graph_block visiting every pair, without the prefix filter.",
    .body =
        [](const EveryPairCall& c) {
            return graph_block(c.rows_packed, c.cols_packed, c.threshold, c.alpha, c.beta, c.same,
                               false);
        },
};

const FuncDef tree_distance_within_hook = Declaration<WithinCall>{
    .name = "tree_distance_within",
    .params = {{"a", &WithinCall::a},
               {"b", &WithinCall::b},
               {"max_distance", &WithinCall::max_distance, nullptr, Check::Int}},
    .doc =
        "The unit-cost tree edit distance when it is at most max_distance, else max_distance + 1.",
    .body =
        [](const WithinCall& c) {
            const long max_distance = PyLong_AsLong(c.max_distance.ptr());
            if (max_distance == -1 && PyErr_Occurred()) throw nb::python_error();
            Interner labels;
            auto [ta, tb] = two_trees(c.a, c.b, labels);
            kernels::TreeDistanceScratch scratch;
            const int limit =
                (int)std::clamp(max_distance, -1L, (long)std::numeric_limits<int>::max() - 1);
            return pyint(kernels::tree_distance_within(ta, tb, limit, scratch));
        },
};

const FuncDef tree_distance_lower_bound_hook = Declaration<Pair>{
    .name = "tree_distance_lower_bound",
    .params = {{"a", &Pair::a}, {"b", &Pair::b}},
    .doc = "The lower bound of the unit-cost tree edit distance that the similarity bound uses.",
    .body =
        [](const Pair& c) {
            Interner labels;
            auto [ta, tb] = two_trees(c.a, c.b, labels);
            return pyint(kernels::tree_distance_lower_bound(ta, tb));
        },
};

// Every pair's joint similarity (default weights), one pair after another on the calling
// thread, as an n x n array; NaN where a thresholded pair falls short.
object pair_similarities(const PairsCall& c) {
    object items = check(PyList_AsTuple(c.descriptors.ptr()));
    Labels labels;
    std::vector<NativeDescriptor> ds;
    if (!read_all_native(items, labels, ds))
        raise(PyExc_TypeError, "pair_similarities needs descriptors as describe() builds them");
    const bool thresholded = !c.threshold.is_none();
    const double threshold = thresholded ? as_double(c.threshold) : 0.0;
    const int n = (int)ds.size();
    int largest = 0;
    for (const auto& d : ds) largest = std::max(largest, d.structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    object matrix = np_fn("zeros")(nb::make_tuple(n, n));
    Float64View view(matrix, 2, true);
    double* out = view.mutable_data();
    kernels::SimilarityScratch scratch;
    constexpr double alpha = kDefaultAlpha, beta = kDefaultBeta;
    for (int i = 0; i < n; ++i)
        for (int j = i; j < n; ++j) {
            const kernels::StructureFields &x = ds[i].structure, &y = ds[j].structure;
            const double b = kernels::behavioural_similarity(ds[i].behaviour, ds[j].behaviour);
            double value;
            if (c.reference) {
                const int d = kernels::tree_distance_reference(x.tree, y.tree, scratch.tree);
                value = alpha * kernels::structural_similarity(x, y, d, weights.data(), scratch) +
                        beta * b;
            } else if (!thresholded) {
                value = alpha * kernels::structural_similarity(x, y, weights.data(), scratch) +
                        beta * b;
            } else if (alpha * kernels::structural_bound(x, y, weights.data()) + beta * b <
                       threshold) {
                value = std::nan("");
            } else {
                int distance = -1, at_least = 0;
                value = kernels::similarity_reaching(x, y, b, alpha, beta, threshold,
                                                     weights.data(), distance, at_least, scratch);
            }
            out[(size_t)i * n + j] = value;
            out[(size_t)j * n + i] = value;
        }
    return matrix;
}

const FuncDef pair_similarities_hook = Declaration<PairsCall>{
    .name = "pair_similarities",
    .params = {{"descriptors", &PairsCall::descriptors, nullptr, Check::List},
               {"reference", &PairsCall::reference, nullptr, false},
               {"threshold", &PairsCall::threshold, nullptr, Check::Any, kNone}},
    .doc = "Every pair's similarity measured one pair at a time on one thread: through the "
           "reference tree\n"
           "distance with `reference`; with a `threshold`, through the bound and the early exit "
           "the graph\n"
           "uses, NaN where a pair falls short.",
    .body = pair_similarities,
};

const FuncDef numeric_program_hook = Declaration<ProgramCall>{
    .name = "numeric_program",
    .params = {{"expr", &ProgramCall::expr},
               {"syms", &ProgramCall::syms},
               {"arrays", &ProgramCall::arrays}},
    .doc = "The compiled program's value for the arrays, or None when the expression does not "
           "compile.",
    .body =
        [](const ProgramCall& c) {
            auto program = NumericProgram::compile(c.expr, c.syms);
            return program ? program->run(c.arrays) : none();
        },
};

}  // namespace

void define_hooks(handle module) {
    for (const FuncDef* def :
         {&tree_distance_hook, &tree_distance_wildcard_hook, &sequence_ratio_hook,
          &structural_score_literal_hook, &anti_unify_cluster_hook, &python_sum_hook,
          &pairwise_matrix_direct_hook, &run_with_timeout_hook, &numeric_program_hook,
          &similarity_bound_hook, &every_pair_block_hook, &tree_distance_within_hook,
          &tree_distance_lower_bound_hook, &pair_similarities_hook})
        define(module, *def);
}

}  // namespace kt
