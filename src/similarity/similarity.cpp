#include "similarity/similarity.hpp"

#include "runtime/numpy.hpp"
#include "runtime/off_gil.hpp"
#include "similarity/native_descriptor.hpp"

namespace kt {

namespace {

// difflib's ratio of two operator sequences; lists of str go through the native kernel.
double operator_ratio(handle a, handle b) {
    auto all_str = [](handle seq) {
        if (!PyList_CheckExact(seq.ptr())) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.ptr()); ++i)
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(seq.ptr(), i))) return false;
        return true;
    };
    if (!all_str(a) || !all_str(b)) {
        object matcher = module_global("SequenceMatcher")(none(), a, b);
        return as_double(matcher.attr("ratio")());
    }
    Labels labels;
    std::vector<int> ia, ib;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a.ptr()); ++i)
        ia.push_back(labels.of(utf8(PyList_GET_ITEM(a.ptr(), i))));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(b.ptr()); ++i)
        ib.push_back(labels.of(utf8(PyList_GET_ITEM(b.ptr(), i))));
    kernels::SequenceScratch scratch;
    return kernels::sequence_ratio(ia.data(), (int)ia.size(), ib.data(), (int)ib.size(), scratch);
}

// Field by field through the C API, for descriptors of any shape.
double structural_literal(handle a, handle b) {
    Labels labels;
    kernels::FlatTree ta = flat_tree(get_attr(a, "expr"), labels);
    kernels::FlatTree tb = flat_tree(get_attr(b, "expr"), labels);
    kernels::TreeDistanceScratch scratch;
    const int td = tree_distance_released(ta, tb, scratch);
    const double td_sim = as_double(state().np.attr("exp")(pyfloat(-0.25 * td)));
    const double op_sim = operator_ratio(get_attr(a, "operators"), get_attr(b, "operators"));
    double bonus = equal(get_attr(a, "root_type"), get_attr(b, "root_type")) ? 0.1 : 0.0;
    if (equal(get_attr(a, "repeated_var"), get_attr(b, "repeated_var"))) bonus += 0.05;
    if (equal(get_attr(a, "unary_depth"), get_attr(b, "unary_depth"))) bonus += 0.05;
    return kernels::min_one_last(0.5 * td_sim + 0.4 * op_sim + bonus);
}

bool is_constant(handle vec) { return truth(np_fn("all")(compare(vec, item(vec, 0), Py_EQ))); }

double behavioural_literal(handle a, handle b) {
    object limit = pyfloat(0.3);
    if (truth(compare(get_attr(a, "frac_invalid"), limit, Py_GT)) ||
        truth(compare(get_attr(b, "frac_invalid"), limit, Py_GT)))
        return 0.3;
    object va = get_attr(a, "behavior_vec"), vb = get_attr(b, "behavior_vec");
    if (va.is_none() || vb.is_none() || length(va) == 0 || length(vb) == 0) return 0.5;
    if (is_constant(va) || is_constant(vb)) return 0.5;
    if (length(va) != length(vb)) {
        object shorter = slice(kOpen, std::min(length(va), length(vb)));
        va = item(va, shorter);
        vb = item(vb, shorter);
    }
    object vec_dist = state().np.attr("linalg").attr("norm")(va - vb);
    auto bonus_if = [&](const char* name, double value) {
        return equal(get_attr(a, name), get_attr(b, name)) ? value : 0.0;
    };
    const double growth = bonus_if("growth_class", 0.5);
    const double mono = bonus_if("is_monotone", 0.15);
    const double bounded = bonus_if("is_bounded", 0.15);
    const double periodic = bonus_if("is_periodic", 0.2);
    object base = np_fn("exp")(pyfloat(-0.5) * vec_dist);
    object total = base + pyfloat(growth + mono + bounded + periodic);
    object one = pyfloat(1.0);
    object sim = truth(compare(total, one, Py_LT)) ? total : one;  // min(1.0, total)
    return as_double(np_fn("clip")(sim, 0.0, 1.0));
}

// Both descriptors in native form, or neither.
struct NativePair {
    Labels labels;
    NativeDescriptor a, b;
    bool ok;
    NativePair(handle da, handle db)
        : ok(read_native(da, labels, a) && read_native(db, labels, b)) {}
};

double structural_native(NativePair& p) {
    std::vector<double> weights =
        tree_weights(p.a.structure.tree.size() + p.b.structure.tree.size());
    kernels::SimilarityScratch scratch;
    const int distance =
        tree_distance_released(p.a.structure.tree, p.b.structure.tree, scratch.tree);
    return kernels::structural_similarity(p.a.structure, p.b.structure, distance, weights.data(),
                                          scratch);
}

}  // namespace

double structural_sim(handle a, handle b) {
    NativePair pair(a, b);
    return pair.ok ? structural_native(pair) : structural_literal(a, b);
}

double behavioral_sim(handle a, handle b) {
    NativePair pair(a, b);
    return pair.ok ? kernels::behavioural_similarity(pair.a.behaviour, pair.b.behaviour)
                   : behavioural_literal(a, b);
}

double similarity(handle a, handle b, double alpha, double beta) {
    NativePair pair(a, b);
    double s, bh;
    if (pair.ok) {
        s = structural_native(pair);
        bh = kernels::behavioural_similarity(pair.a.behaviour, pair.b.behaviour);
    } else {
        s = structural_literal(a, b);
        bh = behavioural_literal(a, b);
    }
    return alpha * s + beta * bh;
}

}  // namespace kt
