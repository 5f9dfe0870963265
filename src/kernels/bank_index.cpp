#include "kernels/bank_index.hpp"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace kt::kernels {

namespace {

// Calls `visit(label, occurrence)` for each of a tree's tokens: the c-th node of a label is the
// token (label, c).
template <class Visit>
void for_each_token(const FlatTree& tree, Visit&& visit) {
    const std::vector<int>& labels = tree.layout.sorted_labels;
    int occurrence = 0;
    for (size_t k = 0; k < labels.size(); ++k) {
        occurrence = k > 0 && labels[k] == labels[k - 1] ? occurrence + 1 : 0;
        visit(labels[k], occurrence);
    }
}

}  // namespace

BankIndex::BankIndex(const std::vector<const PackedDescriptor*>& items, int budget,
                     const GraphTerms& terms)
    : items_(items), budget_(budget), terms_(terms) {
    const int n = (int)items.size();
    for (int need = 0; need <= budget; ++need)
        flat_weights_.emplace_back((size_t)budget + 1, terms.tree_weight[need]);
    // Dense token ids without hashing: label l's c-th occurrence is first[l] + c.
    int labels = 0;
    for (const auto* d : items)
        for (int l : d->structure.tree.labels) labels = std::max(labels, l + 1);
    std::vector<int> most((size_t)labels, 0);
    for (const auto* d : items)
        for_each_token(d->structure.tree,
                       [&](int l, int c) { most[(size_t)l] = std::max(most[(size_t)l], c + 1); });
    std::vector<long long> first((size_t)labels + 1, 0);
    for (int l = 0; l < labels; ++l) first[(size_t)l + 1] = first[(size_t)l] + most[(size_t)l];
    std::vector<int> count((size_t)first.back(), 0);
    for (const auto* d : items)
        for_each_token(d->structure.tree, [&](int l, int c) { ++count[(size_t)(first[l] + c)]; });
    // Rank: rarest first, ties by id.
    std::vector<int> order(count.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](int x, int y) { return count[x] != count[y] ? count[x] < count[y] : x < y; });
    std::vector<int> rank(order.size());
    for (size_t r = 0; r < order.size(); ++r) rank[order[r]] = (int)r;
    // Each row's first budget + 1 ranks.
    const size_t keep = (size_t)budget + 1;
    prefix_start_.assign((size_t)n + 1, 0);
    std::vector<int> ranks;
    for (int i = 0; i < n; ++i) {
        ranks.clear();
        for_each_token(items[i]->structure.tree,
                       [&](int l, int c) { ranks.push_back(rank[(size_t)(first[l] + c)]); });
        const size_t kept = std::min(keep, ranks.size());
        std::partial_sort(ranks.begin(), ranks.begin() + (long)kept, ranks.end());
        prefix_.insert(prefix_.end(), ranks.begin(), ranks.begin() + (long)kept);
        prefix_start_[(size_t)i + 1] = (long long)prefix_.size();
        sizes_.push_back(items[i]->structure.tree.size());
    }
    // Postings by rank, each in (size, row) order: rows are filed in that order.
    std::vector<int> by_size(n);
    std::iota(by_size.begin(), by_size.end(), 0);
    std::stable_sort(by_size.begin(), by_size.end(),
                     [&](int x, int y) { return sizes_[x] < sizes_[y]; });
    posting_start_.assign(order.size() + 1, 0);
    for (int r : prefix_) ++posting_start_[(size_t)r + 1];
    for (size_t r = 0; r < order.size(); ++r) posting_start_[r + 1] += posting_start_[r];
    std::vector<long long> fill(posting_start_.begin(), posting_start_.end() - 1);
    postings_.resize(prefix_.size());
    for (int i : by_size) {
        for (long long at = prefix_start_[i]; at < prefix_start_[(size_t)i + 1]; ++at)
            postings_[(size_t)fill[(size_t)prefix_[at]]++] = {sizes_[i], i,
                                                              (int)(at - prefix_start_[i])};
        if (sizes_[i] <= budget) small_.push_back({sizes_[i], i, 0});
    }
}

bool BankIndex::may_reach(int i, int j, int need) const {
    // g(need): the bound by sizes with the weight of `need` wherever it reads a weight.
    const double s = structural_bound_by_sizes(items_[i]->structure, items_[j]->structure,
                                               flat_weights_[(size_t)need].data());
    return terms_.alpha * s + terms_.beta * 1.0 >= terms_.threshold;
}

void BankIndex::candidates(int i, const std::vector<char>* fresh, std::vector<int>& out,
                           std::vector<int>& mark) const {
    out.clear();
    if (mark.size() != sizes_.size()) mark.assign(sizes_.size(), -1);
    const int size = sizes_[i];
    auto offer = [&](const Entry& e, int need) {
        const int j = e.row;
        if (mark[j] == i) return;
        if (fresh ? j == i || ((*fresh)[j] && j < i) : j <= i) return;
        if (!may_reach(i, j, std::max(need, std::abs(e.size - size)))) return;
        mark[j] = i;
        out.push_back(j);
    };
    auto by_size = [](const Entry& e, int s) { return e.size < s; };
    for (long long at = prefix_start_[i]; at < prefix_start_[(size_t)i + 1]; ++at) {
        const int q = (int)(at - prefix_start_[i]);
        const Entry* begin = postings_.data() + posting_start_[(size_t)prefix_[at]];
        const Entry* end = postings_.data() + posting_start_[(size_t)prefix_[at] + 1];
        // Only sizes within the budget of this row's.
        for (const Entry* e = std::lower_bound(begin, end, size - budget_, by_size);
             e != end && e->size <= size + budget_; ++e)
            offer(*e, std::max(q, e->position));
    }
    if (size <= budget_)
        for (const Entry& e : small_) offer(e, std::max(size, e.size));
}

}  // namespace kt::kernels
