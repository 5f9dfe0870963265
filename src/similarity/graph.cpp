#include "similarity/graph.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <atomic>
#include <stdexcept>
#include <string>
#include <tuple>

#include "kernels/packed.hpp"
#include "kernels/prefix_filter.hpp"
#include "runtime/numpy.hpp"
#include "runtime/off_gil.hpp"
#include "similarity/native_descriptor.hpp"

namespace kt {

namespace {

using kernels::PackedBank;

PackedBank pack_bank(handle descriptors) {
    Labels labels;
    std::vector<NativeDescriptor> native;
    if (!read_all_native(descriptors, labels, native))
        raise(PyExc_TypeError, "the similarity graph needs descriptors as describe() builds them");
    PackedBank bank;
    bank.labels = labels.texts();
    for (const NativeDescriptor& d : native) {
        kernels::PackedDescriptor p;
        p.structure = d.structure;
        p.behaviour = d.behaviour;
        if (d.behaviour.has_vector)
            p.values.assign(d.behaviour.vector, d.behaviour.vector + d.behaviour.length);
        p.behaviour.vector = p.values.data();
        bank.items.push_back(std::move(p));
    }
    return bank;
}

PackedBank unpack_bytes(handle bytes) {
    if (!PyBytes_Check(bytes.ptr())) raise(PyExc_TypeError, "packed descriptors must be bytes");
    std::string data(PyBytes_AS_STRING(bytes.ptr()), (size_t)PyBytes_GET_SIZE(bytes.ptr()));
    try {
        return kernels::unpack(data);
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
}

struct Edge {
    int i, j;
    double s;
};

object as_array(const std::vector<Edge>& edges, int which) {
    const char* dtype = which == 2 ? "float64" : "int64";
    object arr = np_fn("empty")(pyint((long long)edges.size()), nb::arg("dtype") = dtype);
    Py_buffer view;
    check_status(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    for (size_t k = 0; k < edges.size(); ++k) {
        if (which == 2)
            static_cast<double*>(view.buf)[k] = edges[k].s;
        else
            static_cast<long long*>(view.buf)[k] = which == 0 ? edges[k].i : edges[k].j;
    }
    PyBuffer_Release(&view);
    return arr;
}

// The largest tree distance at which a pair may still reach the threshold, whatever its
// operators, bonus and behaviour; -1 where the filter cannot help (every distance may reach
// it, or the threshold is not a number). Beyond it, the structural bound with the exact
// behavioural term, which the pair loop prunes with, is below the threshold: that bound is at
// most alpha * structural_ceiling(weight of the distance bound) + beta, and neither the weights
// nor these operations increase with the distance.
int distance_budget(double threshold, double alpha, double beta, const std::vector<double>& w,
                    int largest) {
    if (!std::isfinite(threshold) || !(alpha >= 0) || !(beta >= 0)) return -1;
    int d = 0;
    while (d < (int)w.size() && alpha * kernels::structural_ceiling(w[d]) + beta * 1.0 >= threshold)
        ++d;
    const int budget = d - 1;
    return budget + 1 >= largest ? -1 : budget;
}

// The pairs (i of a, j of b) with similarity >= threshold; with `same`, only i < j. `indexed`:
// only the pairs the prefix filter offers are visited, the others counted as pruned (the bound
// of every one of them is below the threshold; see distance_budget), which gives the same graph
// and the same count as visiting every pair.
object block(const PackedBank& a, const PackedBank& b, double threshold, double alpha, double beta,
             bool same, bool indexed) {
    int largest = 0;
    for (const auto* bank : {&a, &b})
        for (const auto& d : bank->items) largest = std::max(largest, d.structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    const bool prune = alpha >= 0 && beta >= 0;
    const int rows = (int)a.items.size(), cols = (int)b.items.size();
    const bool heavy = (long long)largest * largest > kLongTreePair;
    const int workers = pair_workers(std::max(rows, cols), 0, heavy);
    std::vector<std::vector<Edge>> found(workers);
    std::vector<long long> pruned(workers, 0);
    std::vector<kernels::SimilarityScratch> scratch(workers);
    // Distinct trees (variants repeat them), for the table of distances below.
    std::vector<int> ids_a, ids_b;
    long long distinct = 0;
    {
        kernels::TreeInterner interner;
        for (const auto& d : a.items) ids_a.push_back(interner.id(d.structure.tree));
        for (const auto& d : b.items) ids_b.push_back(interner.id(d.structure.tree));
        distinct = interner.size();
    }
    // One shared table of the distances between distinct trees (-1: not measured yet), when it
    // is small; racing workers may both measure a pair and store the same number.
    const long long cells = distinct * (distinct + 1) / 2;
    std::vector<std::atomic<int>> memo(cells <= (1LL << 24) ? (size_t)cells : 0);
    for (auto& cell : memo) cell.store(-1, std::memory_order_relaxed);
    const int budget = indexed ? distance_budget(threshold, alpha, beta, weights, largest) : -1;
    std::unique_ptr<kernels::PrefixFilter> filter;
    if (budget >= 0) {
        std::vector<const kernels::FlatTree*> row_trees, col_trees;
        for (const auto& d : a.items) row_trees.push_back(&d.structure.tree);
        for (const auto& d : b.items) col_trees.push_back(&d.structure.tree);
        filter = std::make_unique<kernels::PrefixFilter>(row_trees, col_trees, budget, same);
    }
    std::atomic<int> next_row{0};
    auto work = [&](int worker, const Stop& stop) {
        std::vector<int> offered, seen;
        for (int i = next_row++; i < rows; i = next_row++) {
            const int every = same ? cols - i - 1 : cols;
            if (filter) {
                filter->candidates(i, offered, seen);
                pruned[worker] += every - (long long)offered.size();
            }
            const int count = filter ? (int)offered.size() : every;
            for (int c = 0; c < count; ++c) {
                const int j = filter ? offered[c] : (same ? i + 1 + c : c);
                if (stop.load(std::memory_order_relaxed)) return;
                const auto &x = a.items[i], &y = b.items[j];
                // Bounds first (see similarity_bound), cheapest first: the bound by sizes with the
                // behavioural term at its largest, then with the exact one (which the exact
                // similarity reuses), then the bound by labels and shared operators.
                double b_exact = -1.0;
                if (prune) {
                    const double s_sizes = kernels::structural_bound_by_sizes(
                        x.structure, y.structure, weights.data());
                    if (alpha * s_sizes + beta * 1.0 < threshold) {
                        ++pruned[worker];
                        continue;
                    }
                    b_exact = kernels::behavioural_similarity(x.behaviour, y.behaviour);
                    if (alpha * s_sizes + beta * b_exact < threshold ||
                        alpha * kernels::structural_bound(x, y, weights.data()) + beta * b_exact <
                            threshold) {
                        ++pruned[worker];
                        continue;
                    }
                } else {
                    b_exact = kernels::behavioural_similarity(x.behaviour, y.behaviour);
                }
                const long long ta = std::min(ids_a[i], ids_b[j]),
                                tb = std::max(ids_a[i], ids_b[j]);
                std::atomic<int>* cell =
                    memo.empty() ? nullptr : &memo[(size_t)(tb * (tb + 1) / 2 + ta)];
                // The tree distance from the table when known; otherwise measured only as far as
                // the threshold needs. The table keeps what was learnt: the distance d as d, a
                // proven lower bound L (d >= L >= 1) as -1 - L; -1 is nothing known.
                const int known = cell ? cell->load(std::memory_order_relaxed) : -1;
                int distance = known >= 0 ? known : -1;
                int at_least = known < -1 ? -1 - known : 0;
                const double value = kernels::similarity_reaching(
                    x.structure, y.structure, b_exact, alpha, beta, threshold, weights.data(),
                    distance, at_least, scratch[worker], &stop);
                if (cell && known < 0) {
                    int expected = known;  // a racing worker's store, exact or not, is kept
                    if (distance >= 0)
                        cell->compare_exchange_strong(expected, distance,
                                                      std::memory_order_relaxed);
                    else if (at_least > -1 - known)
                        cell->compare_exchange_strong(expected, -1 - at_least,
                                                      std::memory_order_relaxed);
                }
                if (value >= threshold) found[worker].push_back({i, j, value});
            }
        }
    };
    if (workers == 1 && !heavy) {
        const Stop never{false};
        work(0, never);
    } else {
        run_released(workers, work);
    }
    std::vector<Edge> edges;
    long long total_pruned = 0;
    for (int w = 0; w < workers; ++w) {
        edges.insert(edges.end(), found[w].begin(), found[w].end());
        std::vector<Edge>().swap(found[w]);  // give each worker's list back at once
        total_pruned += pruned[w];
    }
    std::sort(edges.begin(), edges.end(),
              [](const Edge& p, const Edge& q) { return std::tie(p.i, p.j) < std::tie(q.i, q.j); });
    return nb::make_tuple(as_array(edges, 0), as_array(edges, 1), as_array(edges, 2),
                          pyint(total_pruned));
}

}  // namespace

object similarity_graph(handle descriptors, double threshold, double alpha, double beta) {
    PackedBank bank = pack_bank(descriptors);
    return block(bank, bank, threshold, alpha, beta, true, true);
}

object graph_block(handle rows_packed, handle cols_packed, double threshold, double alpha,
                   double beta, bool same, bool indexed) {
    PackedBank x = unpack_bytes(rows_packed);
    PackedBank y = same ? PackedBank{} : unpack_bytes(cols_packed);
    if (!same) kernels::unify_labels(x, y);
    return block(x, same ? x : y, threshold, alpha, beta, same, indexed);
}

object pack_descriptors(handle descriptors) {
    std::string bytes = kernels::pack(pack_bank(descriptors));
    return check(PyBytes_FromStringAndSize(bytes.data(), (Py_ssize_t)bytes.size()));
}

double similarity_bound(handle a, handle b, double alpha, double beta, bool exact_behaviour) {
    object pair = check(PyList_New(0));
    check_status(PyList_Append(pair.ptr(), a.ptr()));
    check_status(PyList_Append(pair.ptr(), b.ptr()));
    PackedBank bank = pack_bank(pair);
    int largest =
        std::max(bank.items[0].structure.tree.size(), bank.items[1].structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    return kernels::similarity_bound(bank.items[0], bank.items[1], alpha, beta, weights.data(),
                                     exact_behaviour);
}

}  // namespace kt
