#include "testing/hooks.hpp"

#include "antiunify/cluster.hpp"
#include "antiunify/scoring.hpp"
#include "concepts/workers.hpp"
#include "descriptors/native_eval.hpp"
#include "kernels/python_sum.hpp"
#include "kernels/sequence_ratio.hpp"
#include "kernels/tree_distance.hpp"
#include "runtime/function.hpp"
#include "runtime/off_gil.hpp"
#include "similarity/graph.hpp"
#include "similarity/matrix.hpp"

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
};

const FuncDef structural_score_literal_hook{
    .name = "structural_score_literal",
    .params = {{"a"}, {"b"}},
    .doc = "Structural score by the recursive definition, without the node table.",
    .impl = [](Args& a) { return pyfloat(structural_score_literal(a[0], a[1])); },
};

const FuncDef anti_unify_cluster_hook{
    .name = "anti_unify_cluster",
    .params = {{"exprs", nullptr, Check::List}, {"literal_scores", nullptr, Check::Bool, "False"}},
    .doc = "Cluster fold; with literal_scores, every structural score is computed recursively.",
    .impl = [](Args& a) { return anti_unify_cluster(a[0], a.flag(1)); },
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
};

const FuncDef pairwise_matrix_direct_hook{
    .name = "pairwise_matrix_direct",
    .params = {{"descriptors", nullptr, Check::List},
               {"sim_kwargs", nullptr, Check::Any, nullptr, Kind::VarKw}},
    .doc = "pairwise_matrix measuring every pair's trees, repeated trees included.",
    .impl = [](Args& a) { return pairwise_matrix(a[0], a[1], false); },
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
};

const FuncDef similarity_bound_hook{
    .name = "similarity_bound",
    .params = {{"a"}, {"b"}, {"alpha", nullptr, Check::Float, "0.85"}, {"beta", nullptr, Check::Float, "0.15"},
               {"exact_behaviour", nullptr, Check::Bool, "True"}},
    .doc = "The upper bound the similarity graph prunes with.",
    .impl = [](Args& a) { return pyfloat(similarity_bound(a[0], a[1], a.real(2), a.real(3), a.flag(4))); },
};

const FuncDef numeric_program_hook{
    .name = "numeric_program",
    .params = {{"expr"}, {"syms"}, {"arrays"}},
    .doc = "The compiled program's value for the arrays, or None when the expression does not compile.",
    .impl = [](Args& a) {
        auto program = NumericProgram::compile(a[0], a[1]);
        return program ? program->run(a[2]) : none();
    },
};

}  // namespace

void define_hooks(handle module) {
    for (const FuncDef* def : {&tree_distance_hook, &tree_distance_wildcard_hook, &sequence_ratio_hook,
                               &structural_score_literal_hook, &anti_unify_cluster_hook, &python_sum_hook,
                               &pairwise_matrix_direct_hook, &run_with_timeout_hook, &numeric_program_hook,
                               &similarity_bound_hook})
        define(module, *def);
}

}  // namespace kt
