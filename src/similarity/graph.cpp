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
#include "similarity/bank_graph.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/pair_judge.hpp"

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

// The edges sorted by (row, column), as arrays, and the pruned count.
object graph_tuple(std::vector<Edge>& edges, long long pruned) {
    std::sort(edges.begin(), edges.end(),
              [](const Edge& p, const Edge& q) { return std::tie(p.i, p.j) < std::tie(q.i, q.j); });
    return nb::make_tuple(as_array(edges, 0), as_array(edges, 1), as_array(edges, 2),
                          pyint(pruned));
}

// One block pair: the pairs (i of a, j of b) with similarity >= threshold; with `same`, only
// i < j. `indexed`: only the pairs the prefix filter offers are visited, the others counted as
// pruned (the bound of every one of them is below the threshold; see distance_budget), which
// gives the same graph and the same count as visiting every pair.
object block(const PackedBank& a, const PackedBank& b, double threshold, double alpha, double beta,
             bool same, bool indexed) {
    int largest = 0;
    for (const auto* bank : {&a, &b})
        for (const auto& d : bank->items) largest = std::max(largest, d.structure.tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    const kernels::GraphTerms terms{threshold, alpha, beta, weights.data()};
    const int rows = (int)a.items.size(), cols = (int)b.items.size();
    const bool heavy = (long long)largest * largest > kLongTreePair;
    const int workers = pair_workers(std::max(rows, cols), 0, heavy);
    std::vector<std::vector<Edge>> found(workers);
    std::vector<long long> pruned(workers, 0);
    std::vector<kernels::SimilarityScratch> scratch(workers);
    // Distinct trees (variants repeat them), for the memo of distances.
    std::vector<int> ids_a, ids_b;
    long long distinct = 0;
    {
        kernels::TreeInterner interner;
        for (const auto& d : a.items) ids_a.push_back(interner.id(d.structure.tree));
        for (const auto& d : b.items) ids_b.push_back(interner.id(d.structure.tree));
        distinct = interner.size();
    }
    DistanceMemo memo(distinct);
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
                double value = 0.0;
                const Verdict v =
                    judge_pair(a.items[i], b.items[j], terms, memo.cell(ids_a[i], ids_b[j]),
                               scratch[worker], &stop, value);
                if (v == Verdict::pruned)
                    ++pruned[worker];
                else if (v == Verdict::edge)
                    found[worker].push_back({i, j, value});
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
    return graph_tuple(edges, total_pruned);
}

// A progress callable (or None) as the native callback.
Progress progress_of(handle progress) {
    if (progress.is_none()) return {};
    return [progress](long long done, long long total) { progress(pyint(done), pyint(total)); };
}

}  // namespace

object similarity_graph(handle descriptors, double threshold, double alpha, double beta) {
    PackedBank bank = pack_bank(descriptors);
    GraphResult graph = bank_graph(bank, nullptr, threshold, alpha, beta, {});
    return graph_tuple(graph.edges, graph.pruned);
}

object graph_of_blocks(handle blocks, handle offsets, double threshold, double alpha, double beta,
                       handle fresh, handle progress, handle counts) {
    if (length(blocks) != length(offsets))
        raise(PyExc_ValueError, "one offset is needed for every packed block");
    std::vector<std::string> bytes;
    std::vector<long long> starts;
    for (Py_ssize_t k = 0; k < length(blocks); ++k) {
        object block = item(blocks, k);
        if (!PyBytes_Check(block.ptr())) raise(PyExc_TypeError, "packed blocks must be bytes");
        bytes.emplace_back(PyBytes_AS_STRING(block.ptr()), (size_t)PyBytes_GET_SIZE(block.ptr()));
        starts.push_back(nb::cast<long long>(item(offsets, k)));
    }
    std::vector<int> sizes;
    const PackedBank bank = read_blocks(bytes, sizes);
    for (size_t k = 0; k + 1 < sizes.size(); ++k)
        if (starts[k] <= starts[k + 1] && starts[k] + sizes[k] > starts[k + 1])
            raise(PyExc_ValueError,
                  "a packed block holds more rows than its offsets leave room for");
    std::vector<char> is_fresh;
    if (!fresh.is_none()) {
        if (length(fresh) != (Py_ssize_t)bank.items.size())
            raise(PyExc_ValueError, "`fresh` needs one flag for every packed row");
        for (Py_ssize_t i = 0; i < length(fresh); ++i) is_fresh.push_back(truth(item(fresh, i)));
    }
    GraphResult graph = bank_graph(bank, fresh.is_none() ? nullptr : &is_fresh, threshold, alpha,
                                   beta, progress_of(progress));
    if (!counts.is_none()) {
        check_status(PyDict_SetItemString(counts.ptr(), "offered", pyint(graph.offered).ptr()));
        check_status(PyDict_SetItemString(counts.ptr(), "measured", pyint(graph.measured).ptr()));
    }
    // Positions in the bank to the rows the offsets number.
    std::vector<long long> row;
    for (size_t k = 0; k < sizes.size(); ++k)
        for (int r = 0; r < sizes[k]; ++r) row.push_back(starts[k] + r);
    for (Edge& e : graph.edges) {
        const long long a = row[(size_t)e.i], b = row[(size_t)e.j];
        e.i = std::min(a, b);
        e.j = std::max(a, b);
    }
    return graph_tuple(graph.edges, graph.pruned);
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
