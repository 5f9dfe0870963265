#include "similarity/clustering.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <vector>

#include "runtime/numpy.hpp"

namespace kt {

namespace {

using Cluster = std::vector<int>;

// The greedy rule: every vertex not yet in a cluster, in index order, seeds one; the seed's
// candidates, in ascending order and scanned again until none joins, join the cluster when
// `linked(candidate, cluster)` holds. `done` receives each cluster as it is completed.
void greedy_clusters(int n, const std::function<const std::vector<int>&(int seed)>& candidates_of,
                     const std::function<bool(int vertex, const Cluster& cluster)>& linked,
                     const std::function<void(const Cluster&)>& done) {
    std::vector<char> assigned((size_t)n, 0);
    Cluster cluster;
    for (int seed = 0; seed < n; ++seed) {
        if (assigned[seed]) continue;
        cluster.assign(1, seed);
        assigned[seed] = 1;
        const std::vector<int>& candidates = candidates_of(seed);
        for (bool changed = true; changed;) {
            changed = false;
            for (int j : candidates) {
                if (assigned[j] || !linked(j, cluster)) continue;
                cluster.push_back(j);
                assigned[j] = 1;
                changed = true;
            }
        }
        done(cluster);
    }
}

// Python's `min` over a cluster's entries: the first value unless a later one is smaller.
template <class Less>
size_t first_minimum(size_t count, Less less) {
    size_t best = 0;
    for (size_t k = 1; k < count; ++k)
        if (less(k, best)) best = k;
    return best;
}

// Int64 copies of two index arrays of one length.
bool edge_arrays(handle rows, handle cols, std::vector<long long>& r, std::vector<long long>& c) {
    object rs = np_fn("ascontiguousarray")(rows, nb::arg("dtype") = "int64");
    object cs = np_fn("ascontiguousarray")(cols, nb::arg("dtype") = "int64");
    Py_buffer rv, cv;
    check_status(PyObject_GetBuffer(rs.ptr(), &rv, PyBUF_C_CONTIGUOUS));
    if (PyObject_GetBuffer(cs.ptr(), &cv, PyBUF_C_CONTIGUOUS) < 0) {
        PyBuffer_Release(&rv);
        throw nb::python_error();
    }
    const bool same_length = rv.len == cv.len;
    if (same_length) {
        r.assign(static_cast<const long long*>(rv.buf),
                 static_cast<const long long*>(rv.buf) + rv.len / 8);
        c.assign(static_cast<const long long*>(cv.buf),
                 static_cast<const long long*>(cv.buf) + cv.len / 8);
    }
    PyBuffer_Release(&rv);
    PyBuffer_Release(&cv);
    return same_length;
}

}  // namespace

object cluster_by_similarity(handle descriptors, handle matrix, double threshold) {
    const int n = (int)length(descriptors);
    Float64View view(matrix, 2);
    const bool native = view.valid() && view.rows() >= n && view.cols() >= n;
    auto reaches_threshold = [&](int j, const Cluster& cluster) {
        if (native) {
            const double* row = view.data() + (size_t)j * view.cols();
            size_t at = first_minimum(cluster.size(), [&](size_t k, size_t best) {
                return row[cluster[k]] < row[cluster[best]];
            });
            return row[cluster[at]] >= threshold;
        }
        std::vector<object> entries;
        for (int k : cluster) entries.push_back(item(matrix, nb::make_tuple(j, k)));
        size_t at = first_minimum(entries.size(), [&](size_t k, size_t best) {
            return truth(compare(entries[k], entries[best], Py_LT));
        });
        return as_double(entries[at]) >= threshold;
    };
    // Every vertex is a candidate: the matrix may hold any numbers, NaN included.
    std::vector<int> everyone((size_t)n);
    std::iota(everyone.begin(), everyone.end(), 0);
    object clusters = new_list();
    greedy_clusters(
        n, [&](int) -> const std::vector<int>& { return everyone; }, reaches_threshold,
        [&](const Cluster& cluster) {
            object members = new_list();
            for (int i : cluster) append(members, item(descriptors, i));
            append(clusters, members);
        });
    return clusters;
}

object cluster_graph(handle descriptor_list, handle rows, handle cols) {
    Items descriptors(descriptor_list);
    const int n = (int)descriptors.size();
    std::vector<long long> r, c;
    bool bad = !edge_arrays(rows, cols, r, c);
    std::vector<std::vector<int>> adjacent((size_t)n);
    for (size_t k = 0; !bad && k < r.size(); ++k) {
        if (r[k] < 0 || r[k] >= n || c[k] < 0 || c[k] >= n || r[k] == c[k]) {
            bad = true;
            break;
        }
        adjacent[(size_t)r[k]].push_back((int)c[k]);
        adjacent[(size_t)c[k]].push_back((int)r[k]);
    }
    if (bad) raise(PyExc_ValueError, "graph edges must join two different descriptors of the list");
    for (auto& v : adjacent) {
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
    }
    auto edge = [&](int u, int v) {
        return std::binary_search(adjacent[u].begin(), adjacent[u].end(), v);
    };
    object clusters = new_list();
    // Only the seed's neighbours can be linked to every member, the seed included.
    greedy_clusters(
        n, [&](int seed) -> const std::vector<int>& { return adjacent[seed]; },
        [&](int j, const Cluster& cluster) {
            return std::all_of(cluster.begin(), cluster.end(), [&](int k) { return edge(j, k); });
        },
        [&](const Cluster& cluster) {
            object members = new_list();
            for (int i : cluster) append(members, descriptors[i]);
            append(clusters, members);
        });
    return clusters;
}

}  // namespace kt
