#include "kernels/tree_distance.hpp"

#include <algorithm>

namespace kt::kernels {

namespace {

inline int min3(int x, int y, int z) { return std::min(std::min(x, y), z); }

// Distances between the forests under keyroots i of A and j of B; fills the subtree
// distances of every pair whose leftmost leaves are those of i and j.
void forest_distance(const FlatTree& a, const FlatTree& b, int i, int j, int* td, int* fd) {
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
        const int label = a.labels[ax];
        int* row = fd + x * cols;
        const int* up = row - cols;
        for (int y = 1; y < cols; ++y) {
            const int by = y + joff;
            const int lby = b.leftmost[by];
            if (lax == li && lby == lj) {
                const int d = min3(up[y] + 1, row[y - 1] + 1, up[y - 1] + (label != b.labels[by]));
                row[y] = d;
                td[ax * n2 + by] = d;
            } else {
                const int p = lax - 1 - ioff, q = lby - 1 - joff;
                row[y] = min3(up[y] + 1, row[y - 1] + 1, fd[p * cols + q] + td[ax * n2 + by]);
            }
        }
    }
}

}  // namespace

int tree_distance(const FlatTree& a, const FlatTree& b, TreeDistanceScratch& s,
                  const std::atomic<bool>* stop) {
    const int n1 = a.size(), n2 = b.size();
    if (n1 == 0 || n2 == 0) return n1 + n2;
    s.tree_dist.resize((size_t)n1 * n2);
    s.forest_dist.resize((size_t)(n1 + 1) * (n2 + 1));
    for (int i : a.keyroots) {
        if (stop && stop->load(std::memory_order_relaxed)) return -1;
        for (int j : b.keyroots) forest_distance(a, b, i, j, s.tree_dist.data(), s.forest_dist.data());
    }
    return s.tree_dist[(size_t)(n1 - 1) * n2 + (n2 - 1)];
}

}  // namespace kt::kernels
