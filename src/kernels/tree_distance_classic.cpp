// The keyroot loop as first written, one table cell at a time with a branch per cell, for
// relabel costs that depend on more than label equality (wildcards) and as the yardstick of
// the unit-cost kernel in tree_distance.cpp.
#include <algorithm>

#include "kernels/tree_distance.hpp"

namespace kt::kernels {

namespace {

inline int min3(int x, int y, int z) { return std::min(std::min(x, y), z); }

// Unit costs: relabelling costs 1 unless the labels are equal.
struct UnitRelabel {
    int operator()(const FlatTree& a, int ax, const FlatTree& b, int by) const {
        return a.labels[ax] != b.labels[by];
    }
};

// For telling variants of one formula apart from other formulas: a wildcard label on either
// side relabels a leaf of the other for free, another leaf costs 1, and an operation is never
// relabelled (sin into cos costs a deletion and an insertion).
struct WildcardRelabel {
    int wildcard;
    int operator()(const FlatTree& a, int ax, const FlatTree& b, int by) const {
        const int la = a.labels[ax], lb = b.labels[by];
        if (la == lb) return 0;
        const bool leaf_a = a.leftmost[ax] == ax, leaf_b = b.leftmost[by] == by;
        if (!leaf_a || !leaf_b) return 2;
        return la == wildcard || lb == wildcard ? 0 : 1;
    }
};

// Distances between the forests under keyroots i of A and j of B; fills the subtree
// distances of every pair whose leftmost leaves are those of i and j.
template <class Relabel>
void forest_distance(const FlatTree& a, const FlatTree& b, int i, int j, int* td, int* fd,
                     Relabel relabel) {
    const int n2 = b.size();
    const int li = a.leftmost[i], lj = b.leftmost[j];
    const int rows = i - li + 2, cols = j - lj + 2;
    const int ioff = li - 1, joff = lj - 1;
    fd[0] = 0;
    for (int x = 1; x < rows; ++x) fd[x * cols] = fd[(x - 1) * cols] + 1;
    for (int y = 1; y < cols; ++y) fd[y] = fd[y - 1] + 1;
    for (int x = 1; x < rows; ++x) {
        const int ax = x + ioff;
        const int lax = a.leftmost[ax];
        int* row = fd + x * cols;
        const int* up = row - cols;
        for (int y = 1; y < cols; ++y) {
            const int by = y + joff;
            const int lby = b.leftmost[by];
            if (lax == li && lby == lj) {
                const int d = min3(up[y] + 1, row[y - 1] + 1, up[y - 1] + relabel(a, ax, b, by));
                row[y] = d;
                td[ax * n2 + by] = d;
            } else {
                const int p = lax - 1 - ioff, q = lby - 1 - joff;
                row[y] = min3(up[y] + 1, row[y - 1] + 1, fd[p * cols + q] + td[ax * n2 + by]);
            }
        }
    }
}

template <class Relabel>
int distance(const FlatTree& a, const FlatTree& b, TreeDistanceScratch& s, Relabel relabel) {
    const int n1 = a.size(), n2 = b.size();
    if (n1 == 0 || n2 == 0) return n1 + n2;
    s.tree_dist.resize((size_t)n1 * n2);
    s.forest_dist.resize((size_t)(n1 + 1) * (n2 + 1));
    for (int i : a.keyroots)
        for (int j : b.keyroots)
            forest_distance(a, b, i, j, s.tree_dist.data(), s.forest_dist.data(), relabel);
    return s.tree_dist[(size_t)(n1 - 1) * n2 + (n2 - 1)];
}

}  // namespace

int tree_distance_wildcard(const FlatTree& a, const FlatTree& b, int wildcard,
                           TreeDistanceScratch& s) {
    return distance(a, b, s, WildcardRelabel{wildcard});
}

int tree_distance_reference(const FlatTree& a, const FlatTree& b, TreeDistanceScratch& s) {
    return distance(a, b, s, UnitRelabel{});
}

}  // namespace kt::kernels
