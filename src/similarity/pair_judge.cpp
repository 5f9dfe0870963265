#include "similarity/pair_judge.hpp"

#include <algorithm>

namespace kt {

DistanceMemo::DistanceMemo(long long distinct)
    : cells_([&] {
          const long long cells = distinct * (distinct + 1) / 2;
          return cells <= (1LL << 24) ? (size_t)cells : 0;
      }()) {
    for (auto& cell : cells_) cell.store(-1, std::memory_order_relaxed);
}

std::atomic<int>* DistanceMemo::cell(int a, int b) {
    if (a == b) return &itself_;
    if (cells_.empty()) return nullptr;
    const long long lo = std::min(a, b), hi = std::max(a, b);
    return &cells_[(size_t)(hi * (hi + 1) / 2 + lo)];
}

Verdict judge_pair(const kernels::PackedDescriptor& x, const kernels::PackedDescriptor& y,
                   const kernels::GraphTerms& t, std::atomic<int>* memo,
                   kernels::SimilarityScratch& scratch, const std::atomic<bool>* stop,
                   double& value) {
    const double* w = t.tree_weight;
    double b_exact;
    if (t.alpha >= 0 && t.beta >= 0) {
        // The bound by sizes with the behavioural term at its largest, then with the exact one
        // (which the exact similarity reuses), then the bound by labels and shared operators.
        const double s_sizes = kernels::structural_bound_by_sizes(x.structure, y.structure, w);
        if (t.alpha * s_sizes + t.beta * 1.0 < t.threshold) return Verdict::pruned;
        b_exact = kernels::behavioural_similarity(x.behaviour, y.behaviour);
        if (t.alpha * s_sizes + t.beta * b_exact < t.threshold ||
            t.alpha * kernels::structural_bound(x, y, w) + t.beta * b_exact < t.threshold)
            return Verdict::pruned;
    } else {
        b_exact = kernels::behavioural_similarity(x.behaviour, y.behaviour);
    }
    // The tree distance from the memo when known; otherwise measured only as far as the
    // threshold needs, and what was learnt kept.
    const int known = memo ? memo->load(std::memory_order_relaxed) : -1;
    int distance = known >= 0 ? known : -1;
    int at_least = known < -1 ? -1 - known : 0;
    value = kernels::similarity_reaching(x.structure, y.structure, b_exact, t.alpha, t.beta,
                                         t.threshold, w, distance, at_least, scratch, stop);
    if (memo && known < 0) {
        int expected = known;  // a racing worker's store, exact or not, is kept
        if (distance >= 0)
            memo->compare_exchange_strong(expected, distance, std::memory_order_relaxed);
        else if (at_least > -1 - known)
            memo->compare_exchange_strong(expected, -1 - at_least, std::memory_order_relaxed);
    }
    return value >= t.threshold ? Verdict::edge : Verdict::below;
}

}  // namespace kt
