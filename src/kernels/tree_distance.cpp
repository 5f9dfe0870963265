// The unit-cost kernel. Measured on banks of distinct formula trees (10-60 nodes), against the
// plain keyroot loop of tree_distance_classic.cpp, it saves work three ways:
//  - Formula trees put their small arguments first (numbers, then symbols, then compound
//    terms), so the subtrees off the leftmost paths, whose tables the loop fills, are the big
//    ones. Reversing the children of every node of both trees leaves the distance unchanged (a
//    mapping between the trees is one between the mirrored trees, at the same cost), and its
//    tables follow the rightmost paths instead. Each pair runs in the order with less work,
//    known from sums laid out once per tree (TreeLayout).
//  - A keyroot that is a leaf needs no table: see leaf_distances. Leaves are most of the
//    keyroots of formula trees.
//  - Table rows of nodes on the keyroot's leftmost path and the other rows run in separate
//    loops, so no cell tests both paths, and the row of the empty forest is a shared 0, 1, 2...
//
// tree_distance_within fills only a band of each table: the cells whose true value could be
// at most the limit. Its proof is beside it.
#include "kernels/tree_distance.hpp"

#include <algorithm>
#include <cstdlib>

namespace kt::kernels {

namespace {

// What one pair's tables need, in one of the two orders.
struct Tables {
    const PathOrder& a;
    const PathOrder& b;
    int* td;  // td[x * n2 + y]: distance between the subtrees of x (in a) and y (in b)
    int* fd;  // rows 1, 2, ... of the current keyroot pair's forest table
    const int* counting;  // its row 0: the distances from the empty forest
    int n2;
    int band;  // for tree_distance_within: the limit
};

template <class T>
void grow(std::vector<T>& v, size_t size) {
    if (v.size() < size) v.resize(size);
}

// Distances from a single node labelled `label` to every subtree of `tree`, written at
// out[v * stride] for node v. A single node maps onto at most one node of the subtree: onto
// one of the same label, the other s - 1 nodes inserted (s - 1), onto another node (s), or onto
// none (s + 1). So the distance is s - 1 when the subtree holds the label and s otherwise.
void leaf_distances(int label, const PathOrder& tree, int* out, size_t stride) {
    const int n = (int)tree.labels.size();
    int last = -1;  // the latest node so far with that label; a subtree ends at its root
    for (int v = 0; v < n; ++v) {
        if (tree.labels[v] == label) last = v;
        const int first = tree.leftmost[v];
        out[(size_t)v * stride] = v - first + 1 - (last >= first ? 1 : 0);
    }
}

// The forest table of inner keyroots i of a and j of b; fills the distances between the
// subtrees on the leftmost paths of i and j. Row x is the forest of the first x nodes under i,
// column y the first y nodes under j. With `Banded`, only cells with |x - y| <= band.
template <bool Banded>
void keyroot_table(const Tables& t, int i, int j) {
    const PathOrder &a = t.a, &b = t.b;
    const int li = a.leftmost[i], lj = b.leftmost[j];
    const int rows = i - li + 1, cols = j - lj + 2;
    const int* b_leftmost = b.leftmost.data() + lj;  // of column y's node: [y - 1]
    const int* b_labels = b.labels.data() + lj;
    const int band = t.band, beyond = t.band + 1;
    const int last_row = Banded ? std::min(rows, cols - 1 + band) : rows;
    const int* up = t.counting;
    for (int x = 1; x <= last_row; ++x) {
        const int ax = li + x - 1;
        const int first = a.leftmost[ax];
        int* row = t.fd + (size_t)(x - 1) * cols;
        int* td_row = t.td + (size_t)ax * t.n2 + lj;  // of column y's node: [y - 1]
        const int lo = Banded ? std::max(1, x - band) : 1;
        const int hi = Banded ? std::min(cols - 1, x + band) : cols - 1;
        row[0] = x;
        int left = lo == 1 ? x : beyond;
        if (first == li) {
            // ax is on i's leftmost path: where the column's node is on j's, the two subtrees
            // meet whole and their distance is found here; elsewhere the forest before the
            // column's subtree is row 0, the empty forest's.
            const int label = a.labels[ax];
            for (int y = lo; y <= hi; ++y) {
                const int q = b_leftmost[y - 1] - lj;
                int d;
                if (q == 0) {
                    d = std::min(
                        std::min(up[y] + 1, up[y - 1] + (label != b_labels[y - 1] ? 1 : 0)),
                        left + 1);
                    td_row[y - 1] = d;
                } else {
                    d = std::min(std::min(up[y] + 1, q + td_row[y - 1]), left + 1);
                }
                row[y] = left = d;
            }
        } else {
            const int p = first - li;  // the forest before ax's subtree: row p
            const int* forest = t.fd + (size_t)(p - 1) * cols;
            for (int y = lo; y <= hi; ++y) {
                const int q = b_leftmost[y - 1] - lj;
                int f = forest[q];
                if (Banded && std::abs(p - q) > band) f = beyond;
                row[y] = left = std::min(std::min(up[y] + 1, f + td_row[y - 1]), left + 1);
            }
        }
        if (Banded && hi + 1 < cols) row[hi + 1] = beyond;
        up = row;
    }
}

template <bool Banded>
int run(const PathOrder& a, const PathOrder& b, int band, TreeDistanceScratch& s,
        const std::atomic<bool>* stop) {
    const int n1 = (int)a.labels.size(), n2 = (int)b.labels.size();
    grow(s.tree_dist, (size_t)n1 * n2);
    grow(s.forest_dist, (size_t)n1 * (n2 + 1));
    for (int y = (int)s.counting.size(); y <= n2; ++y) s.counting.push_back(y);
    int* td = s.tree_dist.data();
    if (Banded) std::fill(td, td + (size_t)n1 * n2, band + 1);
    for (int i : a.leaf_keyroots) leaf_distances(a.labels[i], b, td + (size_t)i * n2, 1);
    for (int j : b.leaf_keyroots) leaf_distances(b.labels[j], a, td + j, (size_t)n2);
    const Tables tables{a, b, td, s.forest_dist.data(), s.counting.data(), n2, band};
    for (int i : a.inner_keyroots) {
        if (stop && stop->load(std::memory_order_relaxed)) return -1;
        for (int j : b.inner_keyroots) keyroot_table<Banded>(tables, i, j);
    }
    return td[(size_t)(n1 - 1) * n2 + (n2 - 1)];
}

// Cells of the keyroot tables plus the leaf rows: the work of one order.
long long work(const PathOrder& a, const PathOrder& b) {
    return a.inner_work * b.inner_work +
           (long long)a.leaf_keyroots.size() * (long long)b.labels.size() +
           (long long)b.leaf_keyroots.size() * (long long)a.labels.size();
}

const TreeLayout& layout_of(const FlatTree& tree, TreeLayout& spare) {
    if (tree.laid_out()) return tree.layout;
    spare = lay_out(tree.labels, tree.leftmost);
    return spare;
}

template <bool Banded>
int distance(const FlatTree& a, const FlatTree& b, int band, TreeDistanceScratch& s,
             const std::atomic<bool>* stop) {
    const TreeLayout& la = layout_of(a, s.layout_a);
    const TreeLayout& lb = layout_of(b, s.layout_b);
    if (work(la.right, lb.right) < work(la.left, lb.left))
        return run<Banded>(la.right, lb.right, band, s, stop);
    return run<Banded>(la.left, lb.left, band, s, stop);
}

}  // namespace

int tree_distance(const FlatTree& a, const FlatTree& b, TreeDistanceScratch& s,
                  const std::atomic<bool>* stop) {
    const int n1 = a.size(), n2 = b.size();
    if (n1 == 0 || n2 == 0) return n1 + n2;
    return distance<false>(a, b, 0, s, stop);
}

// Proof that the band gives the distance whenever it is at most k = max_distance. Let K = k+1.
// A cell (x, y) of a forest table is the distance between forests of x and y nodes, so its
// true value is at least |x - y|; a subtree pair's is at least the difference of the sizes.
// Cells outside the band (|x - y| > k, rows past cols - 1 + k, and subtree pairs whose sizes
// differ by more than k, which are never filled and keep the K written first) are read as K,
// never above their true value. By induction over the order of computation, every stored
// value v of a cell with true value T satisfies:
//  - v >= min(T, K): each candidate (an input plus 1 or a relabel cost, or the sum of two
//    inputs) is at least the same expression of min(input, K) values, which is at least
//    min(candidate's true value, K), and T is the least true candidate;
//  - v = T when T <= k: the candidate that attains T has inputs of true value at most T <= k,
//    which lie in the band (their sizes or prefixes differ by at most their value), so they
//    were computed exactly; every other candidate is at least min(its true value, K) >= T.
// So the final cell holds the distance when it is at most k and at least K otherwise.
int tree_distance_within(const FlatTree& a, const FlatTree& b, int max_distance,
                         TreeDistanceScratch& s, const std::atomic<bool>* stop) {
    if (max_distance < 0) return 0;
    const int n1 = a.size(), n2 = b.size();
    // Deleting one tree and inserting the other costs n1 + n2: no distance is larger.
    if (max_distance >= n1 + n2) return tree_distance(a, b, s, stop);
    const int beyond = max_distance + 1;
    if (tree_distance_lower_bound(a, b) > max_distance) return beyond;
    const int d = distance<true>(a, b, max_distance, s, stop);
    return d < 0 ? -1 : std::min(d, beyond);
}

// Proof of the bound. The distance is the least cost of a mapping M between the nodes of A and
// B (one-to-one, keeping ancestry and left-to-right order): the nodes of A outside M are
// deleted, those of B outside M inserted, and the pairs of M with different labels relabelled,
// so the cost is (|A| - |M|) + (|B| - |M|) + (|M| - e) = |A| + |B| - |M| - e, with e the pairs
// of equal labels. Those pair nodes of one label, each node at most once, so e is at most
// common = sum over labels of min(count in A, count in B); and |M| <= min(|A|, |B|). Hence the
// distance is at least |A| + |B| - min(|A|, |B|) - common = max(|A|, |B|) - common, which is
// also at least |A| - |B| and |B| - |A|.
int tree_distance_lower_bound(const FlatTree& a, const FlatTree& b) {
    const int n1 = a.size(), n2 = b.size();
    if (!a.laid_out() || !b.laid_out()) return std::abs(n1 - n2);
    const std::vector<int>&x = a.layout.sorted_labels, &y = b.layout.sorted_labels;
    int common = 0;
    for (size_t i = 0, j = 0; i < x.size() && j < y.size();) {
        if (x[i] < y[j]) {
            ++i;
        } else if (y[j] < x[i]) {
            ++j;
        } else {
            ++common, ++i, ++j;
        }
    }
    return std::max(n1, n2) - common;
}

}  // namespace kt::kernels
