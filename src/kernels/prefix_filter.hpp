// Candidate pairs of two lists of trees whose tree edit distance may be within a budget, found
// without visiting every pair.
//
// A pair at distance d <= k shares at least max(|A|, |B|) - k labels, counted as multisets
// (tree_distance_lower_bound). Write each tree's labels as tokens (label, occurrence) and put
// every token in one order, rarest first: two multisets sharing t >= 1 tokens share a token
// among the first |A| - t + 1 of A's and the first |B| - t + 1 of B's, which here are at most
// k + 1. So a pair within the budget either shares a token of the two trees' first k + 1, or
// has both trees of at most k nodes; and its sizes differ by at most k. The rarest tokens
// make short lists: most pairs are never seen.
#pragma once

#include <vector>

#include "kernels/flat_tree.hpp"

namespace kt::kernels {

class PrefixFilter {
public:
    // `rows` and `cols` must outlive the filter; with `same`, they are one list and only the
    // pairs i < j are asked for. The trees must be laid out.
    PrefixFilter(const std::vector<const FlatTree*>& rows, const std::vector<const FlatTree*>& cols,
                 int budget, bool same);

    // The columns j that may lie within the budget of row i, ascending (j > i with `same`):
    // every such column, and only columns whose sizes are within the budget. `seen` is the
    // caller's scratch, one per thread.
    void candidates(int i, std::vector<int>& out, std::vector<int>& seen) const;

    int budget() const { return budget_; }

private:
    int budget_;
    bool same_;
    std::vector<int> row_sizes_, col_sizes_;
    std::vector<std::vector<int>> row_prefix_;  // each row's first budget + 1 tokens, by rank
    std::vector<std::vector<int>> postings_;    // by token rank: the columns holding it first
    std::vector<int> small_cols_;               // columns of at most budget nodes, ascending
};

}  // namespace kt::kernels
