// How the similarity graph settles one pair, the same in blocks and over the whole bank: the
// exact upper bounds first, cheapest first, then the similarity measured only as far as the
// threshold needs, with the distances between distinct trees kept for repeats.
#pragma once

#include <atomic>
#include <vector>

#include "kernels/bank_index.hpp"
#include "kernels/similarity.hpp"

namespace kt {

// The tree distances learnt between distinct trees (by TreeInterner id), shared by racing
// workers, when the table is small enough to hold: a distance d as d, a proven lower bound
// L >= 1 as -1 - L, nothing known as -1. A tree is at distance 0 from itself, table or not.
class DistanceMemo {
public:
    explicit DistanceMemo(long long distinct);
    // The cell of two trees, or null when no table is kept.
    std::atomic<int>* cell(int a, int b);

private:
    std::vector<std::atomic<int>> cells_;
    std::atomic<int> itself_{0};  // never written: it holds a distance
};

enum class Verdict { pruned, below, edge };

// `pruned` when a bound rules the pair out (see similarity_bound: never below the exact value),
// otherwise whether it reaches the threshold, `value` its similarity then: the same double as
// alpha * structural + beta * behavioural. `memo` may be null; `stop` as for
// similarity_reaching.
Verdict judge_pair(const kernels::PackedDescriptor& x, const kernels::PackedDescriptor& y,
                   const kernels::GraphTerms& terms, std::atomic<int>* memo,
                   kernels::SimilarityScratch& scratch, const std::atomic<bool>* stop,
                   double& value);

}  // namespace kt
