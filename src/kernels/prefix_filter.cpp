#include "kernels/prefix_filter.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <unordered_map>

namespace kt::kernels {

namespace {

// Each tree's tokens as dense ids: the c-th occurrence of label l is one token.
struct Tokens {
    std::unordered_map<std::int64_t, int> ids;
    std::vector<int> counts;

    std::vector<int> of(const FlatTree& tree) {
        std::vector<int> out;
        const std::vector<int>& labels = tree.layout.sorted_labels;
        out.reserve(labels.size());
        int occurrence = 0;
        for (size_t k = 0; k < labels.size(); ++k) {
            occurrence = k > 0 && labels[k] == labels[k - 1] ? occurrence + 1 : 0;
            const std::int64_t key = (std::int64_t)labels[k] << 32 | (std::uint32_t)occurrence;
            auto found = ids.emplace(key, (int)counts.size());
            if (found.second) counts.push_back(0);
            out.push_back(found.first->second);
        }
        return out;
    }
};

}  // namespace

PrefixFilter::PrefixFilter(const std::vector<const FlatTree*>& rows,
                           const std::vector<const FlatTree*>& cols, int budget, bool same)
    : budget_(budget), same_(same) {
    Tokens tokens;
    std::vector<std::vector<int>> row_tokens, col_tokens;
    for (const FlatTree* t : rows) row_tokens.push_back(tokens.of(*t));
    if (!same)
        for (const FlatTree* t : cols) col_tokens.push_back(tokens.of(*t));
    const std::vector<std::vector<int>>& of_cols = same ? row_tokens : col_tokens;
    for (const auto* list : {&row_tokens, &col_tokens})
        for (const auto& ts : *list)
            for (int t : ts) ++tokens.counts[t];
    // Rank: rarest first, ties by id, one order for both lists.
    std::vector<int> order(tokens.counts.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int x, int y) {
        return tokens.counts[x] != tokens.counts[y] ? tokens.counts[x] < tokens.counts[y] : x < y;
    });
    std::vector<int> rank(order.size());
    for (size_t r = 0; r < order.size(); ++r) rank[order[r]] = (int)r;
    const size_t keep = (size_t)budget + 1;
    auto prefix = [&](const std::vector<int>& ts) {
        std::vector<int> ranks;
        for (int t : ts) ranks.push_back(rank[t]);
        std::sort(ranks.begin(), ranks.end());
        if (ranks.size() > keep) ranks.resize(keep);
        return ranks;
    };
    for (const FlatTree* t : rows) row_sizes_.push_back(t->size());
    for (const FlatTree* t : same ? rows : cols) col_sizes_.push_back(t->size());
    for (const auto& ts : row_tokens) row_prefix_.push_back(prefix(ts));
    postings_.resize(order.size());
    for (int j = 0; j < (int)of_cols.size(); ++j) {
        for (int r : same ? row_prefix_[j] : prefix(of_cols[j])) postings_[r].push_back(j);
        if (col_sizes_[j] <= budget) small_cols_.push_back(j);
    }
}

void PrefixFilter::candidates(int i, std::vector<int>& out, std::vector<int>& seen) const {
    out.clear();
    if (seen.size() != col_sizes_.size()) seen.assign(col_sizes_.size(), -1);
    const int size = row_sizes_[i];
    auto offer = [&](int j) {
        if ((same_ && j <= i) || seen[j] == i) return;
        seen[j] = i;
        if (std::abs(col_sizes_[j] - size) <= budget_) out.push_back(j);
    };
    for (int r : row_prefix_[i])
        for (int j : postings_[r]) offer(j);
    if (size <= budget_)
        for (int j : small_cols_) offer(j);
    std::sort(out.begin(), out.end());
}

}  // namespace kt::kernels
