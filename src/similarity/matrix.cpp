#include "similarity/matrix.hpp"

#include <string>
#include <string_view>

#include "runtime/function.hpp"
#include "runtime/numpy.hpp"
#include "runtime/off_gil.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/weights.hpp"

namespace kt {

namespace {

// The weights `similarity` would take from these keywords, converted as it converts them (an
// error is raised as it would raise it); false when some keyword is not a weight, which
// `similarity` itself then rejects.
bool native_weights(handle kwargs, double& alpha, double& beta) {
    alpha = kDefaultAlpha;
    beta = kDefaultBeta;
    object items = check(PyDict_Items(kwargs.ptr()));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.ptr()); ++k) {
        std::string name = utf8(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 0));
        if (name != "alpha" && name != "beta") return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.ptr()); ++k) {
        handle pair = PyList_GET_ITEM(items.ptr(), k);
        const bool is_alpha = utf8(PyTuple_GET_ITEM(pair.ptr(), 0)) == "alpha";
        (is_alpha ? alpha : beta) =
            float_argument(PyTuple_GET_ITEM(pair.ptr(), 1), is_alpha ? "alpha" : "beta");
    }
    return true;
}

// The id of each descriptor's tree among the batch's distinct trees, and one representative
// of each distinct tree.
std::vector<int> distinct_trees(const std::vector<NativeDescriptor>& ds,
                                std::vector<const kernels::FlatTree*>& representatives) {
    kernels::TreeInterner interner;
    std::vector<int> out;
    for (const auto& d : ds) {
        const int id = interner.id(d.structure.tree);
        if (id == (int)representatives.size()) representatives.push_back(&d.structure.tree);
        out.push_back(id);
    }
    return out;
}

inline size_t triangle_index(int i, int j) {  // i <= j
    return (size_t)j * (j + 1) / 2 + i;
}

void fill_native(const std::vector<NativeDescriptor>& ds, double alpha, double beta, double* out,
                 bool intern_trees) {
    const int n = (int)ds.size();
    int largest = 0;
    for (const auto& d : ds) largest = std::max(largest, d.structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    const bool heavy = (long long)largest * largest > kLongTreePair;
    std::vector<kernels::SimilarityScratch> scratch(pair_workers(n, 0, heavy));

    // With enough repeated trees, each distinct pair of trees is measured once; the table
    // of their distances takes at most an eighth of the matrix's memory.
    std::vector<const kernels::FlatTree*> trees;
    std::vector<int> tree_of;
    if (intern_trees) tree_of = distinct_trees(ds, trees);
    const int distinct = (int)trees.size();
    std::vector<int> distance;
    if (intern_trees && (double)distinct * distinct * 2 <= (double)n * n) {
        distance.resize(triangle_index(0, distinct));
        std::vector<kernels::SimilarityScratch> tree_scratch(pair_workers(distinct, 0, heavy));
        for_each_pair(
            distinct,
            [&](int i, int j, int worker, const Stop& stop) {
                distance[triangle_index(i, j)] =
                    kernels::tree_distance(*trees[i], *trees[j], tree_scratch[worker].tree, &stop);
            },
            0, heavy);
    }
    for_each_pair(
        n,
        [&](int i, int j, int worker, const Stop& stop) {
            double s;
            if (distance.empty()) {
                s = kernels::structural_similarity(ds[i].structure, ds[j].structure, weights.data(),
                                                   scratch[worker], &stop);
            } else {
                const int a = std::min(tree_of[i], tree_of[j]),
                          b = std::max(tree_of[i], tree_of[j]);
                s = kernels::structural_similarity(ds[i].structure, ds[j].structure,
                                                   distance[triangle_index(a, b)], weights.data(),
                                                   scratch[worker]);
            }
            const double b = kernels::behavioural_similarity(ds[i].behaviour, ds[j].behaviour);
            const double value = alpha * s + beta * b;
            out[(size_t)i * n + j] = value;
            out[(size_t)j * n + i] = value;
        },
        0, heavy);
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

}  // namespace

object pairwise_matrix(handle descriptors, handle kwargs, bool intern_trees) {
    // The descriptors as they are now: converting a weight or reading a field runs Python
    // code, which may change the list.
    object items = check(PyList_AsTuple(descriptors.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    object mat = np_fn("zeros")(nb::make_tuple(n, n));
    if (n == 0) return mat;
    double alpha, beta;
    Labels labels;
    std::vector<NativeDescriptor> native;
    if (native_weights(kwargs, alpha, beta) && read_all_native(items, labels, native)) {
        Float64View out(mat, 2, true);
        if (out.valid() && out.rows() == n && out.cols() == n) {
            fill_native(native, alpha, beta, out.mutable_data(), intern_trees);
            return mat;
        }
    }
    fill_literal(items, kwargs, mat, n);
    return mat;
}

}  // namespace kt
