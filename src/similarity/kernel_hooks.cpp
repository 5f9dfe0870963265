#include "similarity/kernel_hooks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "antiunify/cluster.hpp"
#include "concepts/helpers.hpp"
#include "descriptors/native_eval.hpp"
#include "antiunify/scoring.hpp"
#include "kernels/python_sum.hpp"
#include "kernels/sequence_ratio.hpp"
#include "kernels/tree_distance.hpp"
#include "module/classes.hpp"
#include "similarity/graph.hpp"
#include "similarity/matrix.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/pair_loop.hpp"

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

std::vector<int> interned(handle seq, Interner& labels) {
    Items items(seq);
    std::vector<int> out;
    for (Py_ssize_t i = 0; i < items.size(); ++i) out.push_back(labels.of(items[i]));
    return out;
}

const FuncDef tree_distance_hook{
    .name = "tree_distance",
    .params = {{"a"}, {"b"}},
    .doc = "Unit-cost tree edit distance of two (label, [children]) trees.",
    .impl = [](Args& a) {
        Interner labels;
        kernels::FlatTreeBuilder ba, bb;
        add_node(a[0], labels, ba);
        add_node(a[1], labels, bb);
        kernels::TreeDistanceScratch scratch;
        return pyint(tree_distance_released(ba.take(), bb.take(), scratch));
    },
    .qualname = "_kernels.tree_distance",
};

const FuncDef tree_distance_within_hook{
    .name = "tree_distance_within",
    .params = {{"a"}, {"b"}, {"max_distance", nullptr, Check::Int}},
    .doc = "The unit-cost tree edit distance when it is at most max_distance, else max_distance + 1.",
    .impl = [](Args& a) {
        const long max_distance = PyLong_AsLong(a[2].ptr());
        if (max_distance == -1 && PyErr_Occurred()) throw nb::python_error();
        Interner labels;
        kernels::FlatTreeBuilder ba, bb;
        add_node(a[0], labels, ba);
        add_node(a[1], labels, bb);
        kernels::TreeDistanceScratch scratch;
        const int limit = (int)std::clamp(max_distance, -1L, (long)std::numeric_limits<int>::max() - 1);
        return pyint(kernels::tree_distance_within(ba.take(), bb.take(), limit, scratch));
    },
    .qualname = "_kernels.tree_distance_within",
};

const FuncDef tree_distance_lower_bound_hook{
    .name = "tree_distance_lower_bound",
    .params = {{"a"}, {"b"}},
    .doc = "The lower bound of the unit-cost tree edit distance that the similarity bound uses.",
    .impl = [](Args& a) {
        Interner labels;
        kernels::FlatTreeBuilder ba, bb;
        add_node(a[0], labels, ba);
        add_node(a[1], labels, bb);
        return pyint(kernels::tree_distance_lower_bound(ba.take(), bb.take()));
    },
    .qualname = "_kernels.tree_distance_lower_bound",
};

// Every pair's joint similarity (weights 0.85 and 0.15), one pair after another on the calling
// thread, as an n x n array; NaN where a thresholded pair falls short.
object pair_similarities(Args& a) {
    object items = check(PyList_AsTuple(a[0].ptr()));
    Labels labels;
    std::vector<NativeDescriptor> ds;
    if (!read_all_native(items, labels, ds)) raise(PyExc_TypeError, "pair_similarities needs descriptors as describe() builds them");
    const bool reference = a.flag(1);
    const bool thresholded = !a.is_none(2);
    const double threshold = thresholded ? as_double(a[2]) : 0.0;
    const int n = (int)ds.size();
    int largest = 0;
    for (const auto& d : ds) largest = std::max(largest, d.structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    object matrix = np_fn("zeros")(nb::make_tuple(n, n));
    Float64View view(matrix, 2, true);
    double* out = view.mutable_data();
    kernels::SimilarityScratch scratch;
    constexpr double alpha = 0.85, beta = 0.15;
    for (int i = 0; i < n; ++i)
        for (int j = i; j < n; ++j) {
            const kernels::StructureFields &x = ds[i].structure, &y = ds[j].structure;
            const double b = kernels::behavioural_similarity(ds[i].behaviour, ds[j].behaviour);
            double value;
            if (reference) {
                const int d = kernels::tree_distance_reference(x.tree, y.tree, scratch.tree);
                value = alpha * kernels::structural_similarity(x, y, d, weights.data(), scratch) + beta * b;
            } else if (!thresholded) {
                value = alpha * kernels::structural_similarity(x, y, weights.data(), scratch) + beta * b;
            } else if (alpha * kernels::structural_bound(x, y, weights.data()) + beta * b < threshold) {
                value = std::nan("");
            } else {
                int distance = -1;
                value = kernels::similarity_reaching(x, y, b, alpha, beta, threshold, weights.data(), distance, scratch);
            }
            out[(size_t)i * n + j] = value;
            out[(size_t)j * n + i] = value;
        }
    return matrix;
}

const FuncDef pair_similarities_hook{
    .name = "pair_similarities",
    .params = {{"descriptors", nullptr, Check::List}, {"reference", nullptr, Check::Bool, "False"},
               {"threshold", nullptr, Check::Any, "None"}},
    .doc = "Every pair's similarity measured one pair at a time on one thread: through the reference tree\n"
           "distance with `reference`; with a `threshold`, through the bound and the early exit the graph\n"
           "uses, NaN where a pair falls short.",
    .impl = pair_similarities,
    .qualname = "_kernels.pair_similarities",
};

const FuncDef tree_distance_wildcard_hook{
    .name = "tree_distance_wildcard",
    .params = {{"a"}, {"b"}, {"wildcard"}},
    .doc = "Unit-cost tree edit distance where the label `wildcard` relabels any leaf for free.",
    .impl = [](Args& a) {
        Interner labels;
        const int wildcard = labels.of(a[2]);
        kernels::FlatTreeBuilder ba, bb;
        add_node(a[0], labels, ba);
        add_node(a[1], labels, bb);
        kernels::TreeDistanceScratch scratch;
        return pyint(kernels::tree_distance_wildcard(ba.take(), bb.take(), wildcard, scratch));
    },
    .qualname = "_kernels.tree_distance_wildcard",
};

const FuncDef sequence_ratio_hook{
    .name = "sequence_ratio",
    .params = {{"a"}, {"b"}},
    .doc = "Matching-blocks similarity ratio of two sequences of hashable items.",
    .impl = [](Args& a) {
        Interner labels;
        std::vector<int> ia = interned(a[0], labels), ib = interned(a[1], labels);
        kernels::SequenceScratch scratch;
        return pyfloat(kernels::sequence_ratio(ia.data(), (int)ia.size(), ib.data(),
                                               (int)ib.size(), scratch));
    },
    .qualname = "_kernels.sequence_ratio",
};

const FuncDef structural_score_literal_hook{
    .name = "structural_score_literal",
    .params = {{"a"}, {"b"}},
    .doc = "Structural score by the recursive definition, without the node table.",
    .impl = [](Args& a) { return pyfloat(structural_score_literal(a[0], a[1])); },
    .qualname = "_kernels.structural_score_literal",
};

const FuncDef anti_unify_cluster_hook{
    .name = "anti_unify_cluster",
    .params = {{"exprs", nullptr, Check::List}, {"literal_scores", nullptr, Check::Bool, "False"}},
    .doc = "Cluster fold; with literal_scores, every structural score is computed recursively.",
    .impl = [](Args& a) { return anti_unify_cluster(a[0], a.flag(1)); },
    .qualname = "_kernels.anti_unify_cluster",
};

const FuncDef python_sum_hook{
    .name = "python_sum",
    .params = {{"values"}},
    .doc = "The native float sum of a sequence of floats.",
    .impl = [](Args& a) {
        Items items(a[0]);
        kernels::PythonSum sum;
        for (Py_ssize_t i = 0; i < items.size(); ++i) sum.add(as_double(items[i]));
        return pyfloat(sum.value());
    },
    .qualname = "_kernels.python_sum",
};

const FuncDef pairwise_matrix_direct_hook{
    .name = "pairwise_matrix_direct",
    .params = {{"descriptors", nullptr, Check::List},
               {"sim_kwargs", nullptr, Check::Any, nullptr, Kind::VarKw}},
    .doc = "pairwise_matrix measuring every pair's trees, repeated trees included.",
    .impl = [](Args& a) { return pairwise_matrix(a[0], a[1], false); },
    .qualname = "_kernels.pairwise_matrix_direct",
};

const FuncDef run_with_timeout_hook{
    .name = "run_with_timeout",
    .params = {{"func"}, {"timeout", nullptr, Check::Int}, {"args", nullptr, Check::Any, "()"}},
    .doc = "The time-limited call runner of concept discovery.",
    .impl = [](Args& a) {
        const long timeout = PyLong_AsLong(a[1].ptr());
        if (timeout == -1 && PyErr_Occurred()) throw nb::python_error();
        return run_with_timeout(a[0], timeout, a[2]);
    },
    .qualname = "_kernels.run_with_timeout",
};

const FuncDef numeric_program_hook{
    .name = "numeric_program",
    .params = {{"expr"}, {"syms"}, {"arrays"}},
    .doc = "The compiled program's value for the arrays, or None when the expression does not compile.",
    .impl = [](Args& a) {
        auto program = NumericProgram::compile(a[0], a[1]);
        return program ? program->run(a[2]) : none();
    },
    .qualname = "_kernels.numeric_program",
};

}  // namespace

void define_kernel_hooks(handle module) {
    define_class(module, "_kernels", {&tree_distance_hook, &tree_distance_wildcard_hook, &sequence_ratio_hook, &structural_score_literal_hook,
                  &anti_unify_cluster_hook, &python_sum_hook, &pairwise_matrix_direct_hook,
                  &run_with_timeout_hook, &numeric_program_hook, &similarity_bound_hook,
                  &tree_distance_within_hook, &tree_distance_lower_bound_hook, &pair_similarities_hook},
                 "Native kernels on plain Python data (for tests).");
}

}  // namespace kt
