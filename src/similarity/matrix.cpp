#include "similarity/matrix.hpp"

#include <string_view>

#include "module/numpy.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/pair_loop.hpp"

namespace kt {

namespace {

// The weights `similarity` would take from these keywords, if it accepts them all.
bool native_weights(handle kwargs, double& alpha, double& beta) {
    alpha = 0.85;
    beta = 0.15;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        std::string_view name = utf8(key);
        double* target = name == "alpha" ? &alpha : name == "beta" ? &beta : nullptr;
        if (!target) return false;
        *target = PyFloat_AsDouble(value);
        if (*target == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

void fill_native(const std::vector<NativeDescriptor>& ds, double alpha, double beta,
                 double* out) {
    const int n = (int)ds.size();
    int largest = 0;
    for (const auto& d : ds) largest = std::max(largest, d.structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    std::vector<kernels::SimilarityScratch> scratch(pair_workers(n));
    for_each_pair(n, [&](int i, int j, int worker) {
        const double s = kernels::structural_similarity(ds[i].structure, ds[j].structure,
                                                        weights.data(), scratch[worker]);
        const double b = kernels::behavioural_similarity(ds[i].behaviour, ds[j].behaviour);
        const double value = alpha * s + beta * b;
        out[(size_t)i * n + j] = value;
        out[(size_t)j * n + i] = value;
    });
}

void fill_literal(handle descriptors, handle kwargs, handle mat, Py_ssize_t n) {
    object similarity = module_global("similarity");
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = i; j < n; ++j) {
            object pair = nb::make_tuple(item(descriptors, i), item(descriptors, j));
            object s = check(PyObject_Call(similarity.ptr(), pair.ptr(), kwargs.ptr()));
            check_status(PyObject_SetItem(mat.ptr(), nb::make_tuple(i, j).ptr(), s.ptr()));
            check_status(PyObject_SetItem(mat.ptr(), nb::make_tuple(j, i).ptr(), s.ptr()));
        }
    }
}

object pairwise_matrix(handle descriptors, handle kwargs) {
    const Py_ssize_t n = length(descriptors);
    object mat = np_fn("zeros")(nb::make_tuple(n, n));
    if (n == 0) return mat;
    double alpha, beta;
    Labels labels;
    std::vector<NativeDescriptor> native;
    if (native_weights(kwargs, alpha, beta) && read_all_native(descriptors, labels, native)) {
        Float64View out(mat, 2, true);
        if (!out.valid()) raise(PyExc_SystemError, "similarity matrix is not writable");
        fill_native(native, alpha, beta, out.mutable_data());
    } else {
        fill_literal(descriptors, kwargs, mat, n);
    }
    return mat;
}

// Python's `min` over a cluster's entries: the first value unless a later one is smaller.
template <class Less>
size_t first_minimum(size_t count, Less less) {
    size_t best = 0;
    for (size_t k = 1; k < count; ++k)
        if (less(k, best)) best = k;
    return best;
}

object cluster_by_similarity(handle descriptors, handle matrix, double threshold) {
    const Py_ssize_t n = length(descriptors);
    Float64View view(matrix, 2);
    const bool native = view.valid() && view.rows() >= n && view.cols() >= n;
    std::vector<char> assigned(n, 0);
    object clusters = check(PyList_New(0));
    std::vector<Py_ssize_t> cluster;

    auto reaches_threshold = [&](Py_ssize_t j) {
        if (native) {
            const double* row = view.data() + (size_t)j * view.cols();
            size_t at = first_minimum(cluster.size(),
                                      [&](size_t k, size_t best) { return row[cluster[k]] < row[cluster[best]]; });
            return row[cluster[at]] >= threshold;
        }
        std::vector<object> entries;
        for (Py_ssize_t k : cluster) entries.push_back(item(matrix, nb::make_tuple(j, k)));
        size_t at = first_minimum(entries.size(), [&](size_t k, size_t best) {
            return truth(compare(entries[k], entries[best], Py_LT));
        });
        return as_double(entries[at]) >= threshold;
    };

    for (Py_ssize_t seed = 0; seed < n; ++seed) {
        if (assigned[seed]) continue;
        cluster.assign(1, seed);
        assigned[seed] = 1;
        for (bool changed = true; changed;) {
            changed = false;
            for (Py_ssize_t j = 0; j < n; ++j) {
                if (assigned[j] || !reaches_threshold(j)) continue;
                cluster.push_back(j);
                assigned[j] = 1;
                changed = true;
            }
        }
        object members = check(PyList_New(0));
        for (Py_ssize_t i : cluster) check_status(PyList_Append(members.ptr(), item(descriptors, i).ptr()));
        check_status(PyList_Append(clusters.ptr(), members.ptr()));
    }
    return clusters;
}

}  // namespace

const FuncDef pairwise_matrix_def{
    .name = "pairwise_matrix",
    .params = {{"descriptors", "list[ExprDescriptor]", Check::List},
               {"sim_kwargs", nullptr, Check::Any, nullptr, Kind::VarKw}},
    .returns = "np.ndarray",
    .impl = [](Args& a) { return pairwise_matrix(a[0], a[1]); },
};

const FuncDef cluster_by_similarity_def{
    .name = "cluster_by_similarity",
    .params = {{"descriptors", "list[ExprDescriptor]", Check::List},
               {"sim_matrix", "np.ndarray"},
               {"threshold", "float", Check::Float, "0.8"}},
    .returns = "list[list[ExprDescriptor]]",
    .doc = "\n"
           "    Complete-linkage clustering on pairwise similarity.\n"
           "    A candidate joins a cluster only if its similarity to every existing\n"
           "    member is >= threshold (the cluster's minimum internal similarity\n"
           "    stays above threshold as members are added).\n"
           "    ",
    .impl = [](Args& a) { return cluster_by_similarity(a[0], a[1], a.real(2)); },
};

}  // namespace kt
