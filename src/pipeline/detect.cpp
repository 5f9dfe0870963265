#include "pipeline/detect.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "pipeline/cluster_account.hpp"
#include "runtime/library_trees.hpp"
#include "runtime/numpy.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The bank's expressions: the second element of every item when the bank holds pairs.
object bank_expressions(handle bank) {
    object items = check(PySequence_Tuple(bank.ptr()));
    if (!PyTuple_Check(PyTuple_GET_ITEM(items.ptr(), 0))) return items;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    // The ids are read first, as the pairs are unpacked; a malformed item fails there.
    for (Py_ssize_t i = 0; i < n; ++i) item(PyTuple_GET_ITEM(items.ptr(), i), 0);
    object exprs = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(exprs.ptr(), i, item(PyTuple_GET_ITEM(items.ptr(), i), 1).release().ptr());
    return exprs;
}

object describe_bank(handle exprs, handle ranges_bank) {
    object describe = module_global("describe");
    const bool ranged = !ranges_bank.is_none() && truth(ranges_bank);
    object descriptors = new_list();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(exprs.ptr()); ++i) {
        object ranges = ranged ? item(ranges_bank, i) : none();
        append(descriptors,
               describe(handle(PyTuple_GET_ITEM(exprs.ptr(), i)), nb::arg("var_ranges") = ranges));
    }
    return descriptors;
}

// The strict upper triangle of the matrix, row by row, as one float64 array.
object upper_triangle(handle mat) {
    const Py_ssize_t n = length(mat);
    Float64View view(mat, 2);
    if (view.valid() && view.rows() == n && view.cols() >= n) {
        object arr = np_fn("empty")(pyint(n * (n - 1) / 2));
        Float64View out(arr, 1, true);
        if (!out.valid()) raise(PyExc_SystemError, "triangle array is not writable");
        double* to = out.mutable_data();
        for (Py_ssize_t i = 0; i < n; ++i)
            for (Py_ssize_t j = i + 1; j < n; ++j) *to++ = view.data()[i * view.cols() + j];
        return arr;
    }
    object values = new_list();
    for (Py_ssize_t i = 0; i < n; ++i)
        for (Py_ssize_t j = i + 1; j < n; ++j) append(values, item(mat, nb::make_tuple(i, j)));
    return np_fn("array")(values);
}

// The library described once.
Library describe_library(handle library) {
    Library lib;
    object items = check(PyDict_Items(library.ptr()));
    object describe = module_global("describe");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        handle pair = PyList_GET_ITEM(items.ptr(), i);
        handle name = PyTuple_GET_ITEM(pair.ptr(), 0), expr = PyTuple_GET_ITEM(pair.ptr(), 1);
        append(lib.names, name);
        append(lib.exprs, expr);
        check_status(PyObject_SetItem(lib.descs.ptr(), name.ptr(), describe(expr).ptr()));
    }
    return lib;
}

// The distance from the normalised formula to its closest library expression, and that entry's
// name; an entry whose tree cannot be built is left out.
std::pair<double, object> closest_entry(handle formula, const Library& lib) {
    if (PyList_GET_SIZE(lib.exprs.ptr()) == 0) return {kInf, pystr("none")};
    object normalized = module_global("_normalize_wildcards")(formula);
    std::shared_ptr<const LibraryTrees> trees = library_trees(lib.exprs);
    Labels labels(&trees->labels);
    return closest_entry(tree_or_nothing(normalized, labels), *trees, lib.names);
}

object field_of_each(handle cluster, const char* field) {
    object values = new_list();
    object it = check(PyObject_GetIter(cluster.ptr()));
    while (object d = nb::steal(PyIter_Next(it.ptr()))) append(values, get_attr(d, field));
    if (PyErr_Occurred()) throw nb::python_error();
    return values;
}

// Without `max_wildcard_density`, validity is judged at the check's own default, as detection does.
ClusterParts cluster_parts(handle cluster, const Library& lib,
                           std::optional<double> max_wildcard_density, bool merge = false) {
    ClusterParts parts;
    object exprs_cluster = field_of_each(cluster, "expr");
    object canonicalize = module_global("_canonicalize_expr");
    object tagged = new_list();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(exprs_cluster.ptr()); ++k)
        append(tagged, canonicalize(handle(PyList_GET_ITEM(exprs_cluster.ptr(), k)),
                                    nb::arg("source_id") = pyint(k)));
    parts.formula = module_global("anti_unify_cluster")(tagged);
    if (parts.formula.is_none()) return parts;
    if (merge) parts.formula = module_global("_merge_wildcards")(parts.formula);
    object valid = module_global("_is_valid_generalization");
    if (!truth(max_wildcard_density ? valid(parts.formula, pyfloat(*max_wildcard_density))
                                    : valid(parts.formula)))
        return parts;
    parts.kept = true;
    parts.formula = module_global("_display_canonical_expr")(parts.formula);
    auto [structural, closest_name] = closest_entry(parts.formula, lib);
    parts.structural = structural;
    parts.closest = closest_name;
    parts.behavioral =
        module_global("behavioral_distance_between_cluster_and_library")(cluster, lib.descs);
    parts.compositionality = module_global("compositionality_score")(parts.formula, lib.exprs);
    parts.compression_gain = module_global("compression_gain")(cluster, parts.formula);
    return parts;
}

// The recurrence strength of a cluster: from its cohesion where known, else measured.
object recurrence(handle cluster, const ClusterParts& parts, Py_ssize_t bank_size) {
    if (!parts.cohesion) return module_global("recurrence_strength")(cluster, pyint(bank_size));
    const Py_ssize_t k = PyObject_Length(cluster.ptr());
    if (k < 0) throw nb::python_error();
    return pyfloat(recurrence_from(*parts.cohesion, k, bank_size));
}

ClusterScore score_of_parts(handle cluster, const ClusterParts& parts, Py_ssize_t bank_size,
                            const ScoreWeights& w) {
    if (!parts.kept) return score_of_parts(parts, handle(), w);
    return score_of_parts(parts, recurrence(cluster, parts, bank_size), w);
}

ClusterScore score_cluster(handle cluster, const Library& lib, Py_ssize_t bank_size,
                           const ScoreWeights& w, std::optional<double> max_wildcard_density) {
    return score_of_parts(cluster, cluster_parts(cluster, lib, max_wildcard_density), bank_size, w);
}

// The scored candidate of one cluster, or nothing when its generalisation is dropped or
// scores below the threshold.
object candidate_of(handle cluster, const ClusterScore& score, double novelty_threshold) {
    if (!is_candidate(score, novelty_threshold)) return {};
    // Members as the bank gave them, not in their canonical form.
    return candidate(score, field_of_each(cluster, "numeric_expr"),
                     get_attr(item(cluster, 0), "growth_class"));
}

object candidate_of(handle cluster, const Library& lib, Py_ssize_t bank_size, const ScoreWeights& w,
                    double novelty_threshold,
                    std::optional<double> max_wildcard_density = std::nullopt) {
    return candidate_of(cluster, score_cluster(cluster, lib, bank_size, w, max_wildcard_density),
                        novelty_threshold);
}

Py_ssize_t size_of_bank(handle bank_size) {
    const long long n = PyLong_AsLongLong(bank_size.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return (Py_ssize_t)n;
}

}  // namespace

object similarity_line(handle values) {
    // numpy's own reductions, so that the numbers are those of the same values' min, mean and
    // max wherever they are taken.
    object arr = np_fn("asarray")(values);
    return concat({pystr("similarity \xe2\x80\x94 min="), format(arr.attr("min")(), ".4f"),
                   pystr("  mean="), format(arr.attr("mean")(), ".4f"), pystr("  max="),
                   format(arr.attr("max")(), ".4f")});
}

object detect_structure(const DetectCall& call) {
    handle bank = call.expression_bank, library = call.library, ranges_bank = call.var_ranges_bank;
    object candidates = new_list();
    if (PyList_GET_SIZE(bank.ptr()) == 0) return candidates;
    if (call.seed.is_valid() && !call.seed.is_none())
        state().np.attr("random").attr("seed")(call.seed);

    object exprs = bank_expressions(bank);
    object descriptors = describe_bank(exprs, ranges_bank);
    object mat = module_global("pairwise_matrix")(
        descriptors, nb::arg("alpha") = pyfloat(call.alpha), nb::arg("beta") = pyfloat(call.beta));
    Library lib = describe_library(library);
    if (call.verbose && PyList_GET_SIZE(descriptors.ptr()) >= 2)
        print({similarity_line(upper_triangle(mat))});

    object clusters = module_global("cluster_by_similarity")(
        descriptors, mat, nb::arg("threshold") = pyfloat(call.sim_threshold));
    const Py_ssize_t bank_size = PyList_GET_SIZE(descriptors.ptr());
    object it = check(PyObject_GetIter(clusters.ptr()));
    while (object cluster = nb::steal(PyIter_Next(it.ptr()))) {
        object candidate = candidate_of(cluster, lib, bank_size, call, call.novelty_threshold);
        if (candidate.is_valid()) append(candidates, candidate);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return candidates;
}

object candidate_of_cluster(const ClusterCandidateCall& call) {
    const Library lib = library_of(call.library, call.lib_descs);
    object candidate = candidate_of(call.cluster, lib, size_of_bank(call.bank_size), call,
                                    call.novelty_threshold, call.max_wildcard_density);
    return candidate.is_valid() ? candidate : none();
}

object score_of_cluster(const ClusterCandidateCall& call) {
    const Library lib = library_of(call.library, call.lib_descs);
    const ClusterParts parts =
        call.parts.is_valid() && !call.parts.is_none()
            ? parts_of_dict(call.parts)
            : cluster_parts(call.cluster, lib, call.max_wildcard_density, call.merge_wildcards);
    const ClusterScore score =
        score_of_parts(call.cluster, parts, size_of_bank(call.bank_size), call);
    object found = candidate_of(call.cluster, score, call.novelty_threshold);
    return account(parts, score, found.is_valid() ? handle(found) : handle(Py_None), call);
}

}  // namespace kt
