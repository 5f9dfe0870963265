// Why it bounds: a mapping between two trees (one-to-one, keeping ancestry and left-to-right
// order) keeps the order of the mapped nodes in post-order and in pre-order alike, so it is an
// alignment of either sequence pair, and an alignment costs the deletions, insertions and
// relabellings the mapping does. The cheapest alignment, the sequence distance, is at most the
// mapping's cost. The layout's mirrored post-order is the pre-order reversed, and reversing
// both sequences leaves their distance unchanged.
#include "pipeline/sequence_bound.hpp"

#include <algorithm>
#include <cstdlib>

namespace kt {

namespace {

// The edit distance of two sequences when at most `limit`, else limit + 1: only the cells
// within `limit` of the diagonal, whose value can be at most the limit, are filled; cells
// outside read as limit + 1, never above their true value (as in the tree distance's band).
int sequence_distance_within(const std::vector<int>& a, const std::vector<int>& b, int limit,
                             std::vector<int>& row) {
    const int n = (int)a.size(), m = (int)b.size(), beyond = limit + 1;
    if (std::abs(n - m) > limit) return beyond;
    row.assign((size_t)m + 1, beyond);
    for (int y = 0; y <= std::min(m, limit); ++y) row[(size_t)y] = y;
    for (int x = 1; x <= n; ++x) {
        const int lo = std::max(1, x - limit), hi = std::min(m, x + limit);
        int diagonal = row[(size_t)lo - 1];  // cell (x - 1, lo - 1)
        int left = x <= limit ? x : beyond;  // cell (x, lo - 1)
        if (lo > 1)
            row[(size_t)lo - 1] = beyond;
        else
            row[0] = x;
        int best = left;
        for (int y = lo; y <= hi; ++y) {
            const int up = row[(size_t)y];
            const int d =
                std::min({up + 1, left + 1, diagonal + (a[x - 1] != b[y - 1] ? 1 : 0), beyond});
            diagonal = up;
            row[(size_t)y] = left = d;
            best = std::min(best, d);
        }
        if (hi < m) row[(size_t)hi + 1] = beyond;
        if (best > limit) return beyond;  // every path from here on costs more
    }
    return std::min(row[(size_t)m], beyond);
}

}  // namespace

int sequence_bound_within(const kernels::FlatTree& a, const kernels::FlatTree& b, int limit,
                          std::vector<int>& scratch) {
    const int post =
        sequence_distance_within(a.layout.left.labels, b.layout.left.labels, limit, scratch);
    if (post > limit) return post;
    return std::max(post, sequence_distance_within(a.layout.right.labels, b.layout.right.labels,
                                                   limit, scratch));
}

}  // namespace kt
