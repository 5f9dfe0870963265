#include "kernels/bank_index.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>
#include <utility>
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

// One past the largest label id of the bank's trees.
int label_count(const std::vector<const PackedDescriptor*>& items) {
    int labels = 0;
    for (const auto* d : items)
        for (int l : d->structure.tree.labels) labels = std::max(labels, l + 1);
    return labels;
}

}  // namespace

BankIndex::BankIndex(const std::vector<const PackedDescriptor*>& items, int budget,
                     const GraphTerms& terms)
    : items_(items), budget_(budget), terms_(terms) {
    const int labels = label_count(items);
    make_keys(labels);
    const int ranks = make_prefixes(labels);
    file_postings(ranks);
}

void BankIndex::make_keys(int labels) {
    // The most common labels get a count in every key.
    std::vector<long long> nodes((size_t)labels, 0);
    for (const auto* d : items_)
        for (int l : d->structure.tree.labels) ++nodes[(size_t)l];
    std::vector<int> common((size_t)labels);
    std::iota(common.begin(), common.end(), 0);
    const size_t counted = std::min<size_t>(kCounted, common.size());
    std::partial_sort(
        common.begin(), common.begin() + (long)counted, common.end(),
        [&](int x, int y) { return nodes[x] != nodes[y] ? nodes[x] > nodes[y] : x < y; });
    std::vector<int> slot((size_t)labels, -1);
    for (size_t c = 0; c < counted; ++c) slot[(size_t)common[c]] = (int)c;
    std::map<std::tuple<int, int, long long>, int> kind_ids;
    for (const auto* d : items_) {
        const StructureFields& s = d->structure;
        auto [known, added] = kind_ids.emplace(
            std::tuple(s.root_type, s.repeated_var, s.unary_depth), (int)kinds_.size());
        if (added) kinds_.push_back({s.root_type, s.repeated_var, s.unary_depth});
        Key key{s.tree.size(), (int)s.operators.size(), known->second, true, {}};
        int tally[kCounted] = {};
        for (int l : s.tree.labels)
            if (slot[(size_t)l] >= 0) key.counted &= ++tally[slot[(size_t)l]] <= 255;
        for (int c = 0; c < kCounted; ++c) key.counts[c] = (unsigned char)tally[c];
        keys_.push_back(key);
    }
}

int BankIndex::make_prefixes(int labels) {
    // Dense token ids without hashing: label l's c-th occurrence is first[l] + c.
    std::vector<int> most((size_t)labels, 0);
    for (const auto* d : items_)
        for_each_token(d->structure.tree,
                       [&](int l, int c) { most[(size_t)l] = std::max(most[(size_t)l], c + 1); });
    std::vector<long long> first((size_t)labels + 1, 0);
    for (int l = 0; l < labels; ++l) first[(size_t)l + 1] = first[(size_t)l] + most[(size_t)l];
    std::vector<int> count((size_t)first.back(), 0);
    for (const auto* d : items_)
        for_each_token(d->structure.tree, [&](int l, int c) { ++count[(size_t)(first[l] + c)]; });
    // Rank: rarest first, ties by id.
    std::vector<int> order(count.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](int x, int y) { return count[x] != count[y] ? count[x] < count[y] : x < y; });
    std::vector<int> rank(order.size());
    for (size_t r = 0; r < order.size(); ++r) rank[order[r]] = (int)r;
    // Each row's first budget + 1 ranks.
    const size_t keep = (size_t)budget_ + 1;
    prefix_start_.assign(items_.size() + 1, 0);
    std::vector<int> ranks;
    for (size_t i = 0; i < items_.size(); ++i) {
        ranks.clear();
        for_each_token(items_[i]->structure.tree,
                       [&](int l, int c) { ranks.push_back(rank[(size_t)(first[l] + c)]); });
        const size_t kept = std::min(keep, ranks.size());
        std::partial_sort(ranks.begin(), ranks.begin() + (long)kept, ranks.end());
        prefix_.insert(prefix_.end(), ranks.begin(), ranks.begin() + (long)kept);
        prefix_start_[i + 1] = (long long)prefix_.size();
    }
    return (int)order.size();
}

void BankIndex::file_postings(int ranks) {
    // Each rank's rows in (size, row) order: rows are filed in that order.
    std::vector<int> by_size(items_.size());
    std::iota(by_size.begin(), by_size.end(), 0);
    std::stable_sort(by_size.begin(), by_size.end(),
                     [&](int x, int y) { return keys_[x].size < keys_[y].size; });
    posting_start_.assign((size_t)ranks + 1, 0);
    for (int r : prefix_) ++posting_start_[(size_t)r + 1];
    for (int r = 0; r < ranks; ++r) posting_start_[(size_t)r + 1] += posting_start_[(size_t)r];
    std::vector<long long> fill(posting_start_.begin(), posting_start_.end() - 1);
    postings_.resize(prefix_.size());
    for (int i : by_size) {
        const Key& k = keys_[i];
        for (long long at = prefix_start_[i]; at < prefix_start_[(size_t)i + 1]; ++at)
            postings_[(size_t)fill[(size_t)prefix_[at]]++] = {i, k.size, k.operators, k.kind,
                                                              (int)(at - prefix_start_[i])};
        if (k.size <= budget_) small_.push_back({i, k.size, k.operators, k.kind, 0});
    }
}

// g(need): structural_bound_by_sizes' arithmetic (kernels/similarity.cpp), term by term in its
// order, with the weight of `need` in place of that of the sizes' difference.
bool BankIndex::may_reach(int kind_a, int operators_a, int kind_b, int operators_b,
                          int need) const {
    const Kind &a = kinds_[(size_t)kind_a], &b = kinds_[(size_t)kind_b];
    double bonus = a.root_type == b.root_type ? 0.1 : 0.0;
    if (a.repeated_var == b.repeated_var) bonus += 0.05;
    if (a.unary_depth == b.unary_depth) bonus += 0.05;
    const int la = operators_a, lb = operators_b;
    const double op_sim = la + lb == 0 ? 1.0 : 2.0 * (double)std::min(la, lb) / (double)(la + lb);
    const double s = min_one_last(0.5 * terms_.tree_weight[need] + 0.4 * op_sim + bonus);
    return terms_.alpha * s + terms_.beta * 1.0 >= terms_.threshold;
}

// common = the sum over labels of the smaller count: over the counted labels their smaller
// counts, over the others at most the smaller number of nodes left. Without counts, the sizes'
// difference (L >= it).
int BankIndex::counted_bound(const Key& a, const Key& b) {
    if (!a.counted || !b.counted) return std::abs(a.size - b.size);
    int shared = 0, left_a = a.size, left_b = b.size;
    for (int c = 0; c < kCounted; ++c) {
        shared += std::min(a.counts[c], b.counts[c]);
        left_a -= a.counts[c];
        left_b -= b.counts[c];
    }
    return std::max(a.size, b.size) - (shared + std::min(left_a, left_b));
}

void BankIndex::candidates(int i, const std::vector<char>* fresh, std::vector<int>& out,
                           std::vector<int>& mark) const {
    out.clear();
    if (mark.size() != keys_.size()) mark.assign(keys_.size(), -1);
    const Key& key = keys_[i];
    const int size = key.size;
    const FlatTree& tree = items_[i]->structure.tree;
    auto offer = [&](const Entry& e, int need) {
        const int j = e.row;
        if (mark[j] == i) return;
        if (fresh ? j == i || ((*fresh)[j] && j < i) : j <= i) return;
        const int kind = e.kind, ops = e.operators;
        if (!may_reach(key.kind, key.operators, kind, ops, std::max(need, std::abs(e.size - size))))
            return;
        mark[j] = i;  // settled either way: the labels below do not depend on the token
        const int counted = counted_bound(key, keys_[j]);
        if (counted > budget_ || !may_reach(key.kind, key.operators, kind, ops, counted)) return;
        const int lower = tree_distance_lower_bound(tree, items_[j]->structure.tree);
        if (lower <= budget_ && may_reach(key.kind, key.operators, kind, ops, lower))
            out.push_back(j);
    };
    // Postings run by (size, row): for each size within the budget of this row's, the rows
    // from `lowest` on (without `fresh`, only those after i are asked).
    const int lowest = fresh ? 0 : i + 1;
    auto before = [](const Entry& e, std::pair<int, int> at) {
        return e.size != at.first ? e.size < at.first : e.row < at.second;
    };
    for (long long at = prefix_start_[i]; at < prefix_start_[(size_t)i + 1]; ++at) {
        const int q = (int)(at - prefix_start_[i]);
        const Entry* begin = postings_.data() + posting_start_[(size_t)prefix_[at]];
        const Entry* end = postings_.data() + posting_start_[(size_t)prefix_[at] + 1];
        for (int s = std::max(0, size - budget_); s <= size + budget_; ++s) {
            const Entry* e = std::lower_bound(begin, end, std::pair(s, lowest), before);
            for (; e != end && e->size == s; ++e) offer(*e, std::max(q, e->position));
            begin = e;
        }
    }
    if (size <= budget_)
        for (const Entry& e : small_) offer(e, std::max(size, e.size));
}

}  // namespace kt::kernels
