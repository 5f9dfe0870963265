// Candidate pairs of a whole bank for the similarity graph, from one index over all its rows:
// the work grows with the pairs that may be near, not with the square of the bank.
//
// What may be left out. The graph measures a pair only when its bound
//   alpha * structural_bound + beta * behavioural                                  (1)
// reaches the threshold, and counts every other pair as pruned; a pair the index does not offer
// must therefore have (1) below the threshold. structural_bound is
// combine(w[L], 2M / (la + lb), bonus), with L = max(|A|, |B|) - common the trees' distance
// lower bound (common: labels shared as multisets), M <= min(la, lb) the operators' match bound
// and the exact bonus; behavioural <= 1. So (1) is at most
//   g(d) = alpha * combine(w[d], 2 min(la, lb) / (la + lb), bonus) + beta * 1.0
// at d = L: structural_bound_by_sizes' arithmetic with the weight of d, which does not decrease
// in any of its terms under IEEE rounding (alpha, beta >= 0). The weights w[d] = exp(-0.25 d)
// fall with d by a factor no rounding closes, so g does not increase with d. Let k be the
// largest d with g(d) >= threshold: a pair that passes (1) has L <= k, hence
//  - sizes within k of each other (L >= ||A| - |B||);
//  - either both trees of at most k nodes, or t = common >= max(|A|, |B|) - k >= 1 tokens
//    shared. Tokens are (label, occurrence), ranked in one order over the bank, rarest first;
//    two multisets sharing t tokens share one among the first |A| - t + 1 of A's and the first
//    |B| - t + 1 of B's, both at most k + 1: at positions q, p <= k.
// The index offers the pair when a shared token at positions (q, p), or both sizes (when both
// are small), give need = max(q, p, ||A| - |B||) (or max(|A|, |B|)) with g(need) >= threshold,
// and then g(L') >= threshold for L' <= L from the counts of the bank's most common labels
// (common <= the sum over those labels of the smaller count, plus the smaller of the nodes left
// over), and g(L) >= threshold: by the above every pair passing (1) has such a token, with
// need <= k, and L' <= L <= k. `budget` is k at its largest (every bonus given, every operator
// matched), so only the first budget + 1 tokens of each row are indexed.
#pragma once

#include <vector>

#include "kernels/packed.hpp"

namespace kt::kernels {

struct GraphTerms {
    double threshold, alpha, beta;
    const double* tree_weight;  // exp(-0.25 d) up to twice the largest tree
};

class BankIndex {
public:
    // `items` (laid out) must outlive the index; `budget` >= 0 is the largest tree distance at
    // which any pair may pass the bound (the graph's distance_budget), alpha and beta >= 0.
    BankIndex(const std::vector<const PackedDescriptor*>& items, int budget,
              const GraphTerms& terms);

    // The rows j that may pass the bound with row i, in no particular order: with `fresh`
    // null, those after i; otherwise every other row except the fresh ones before i (each pair
    // holding a fresh row once, asked from its fresh rows). `mark` is the caller's scratch, one
    // per thread.
    void candidates(int i, const std::vector<char>* fresh, std::vector<int>& out,
                    std::vector<int>& mark) const;

    int budget() const { return budget_; }

    static constexpr int kCounted = 16;  // the most common labels, counted in each key

private:
    // The fields the bonus compares.
    struct Kind {
        int root_type, repeated_var;
        long long unary_depth;
    };
    // What g reads of a row (its kind a dense id of its Kind), and the row's counts of the
    // most common labels (when none exceeds 255).
    struct Key {
        int size, operators, kind;
        bool counted;
        unsigned char counts[kCounted];
    };
    // A posting: what g reads of the row beside it, so that the scan touches nothing else.
    struct Entry {
        int row, size, operators, kind, position;  // position: the token's place in its prefix
    };
    // The construction: each row's key; its first budget + 1 token ranks (returns the number
    // of ranks); the postings of every rank.
    void make_keys(int labels);
    int make_prefixes(int labels);
    void file_postings(int ranks);
    // Whether g(need) of a pair of rows with these kinds and operator counts reaches the
    // threshold.
    bool may_reach(int kind_a, int operators_a, int kind_b, int operators_b, int need) const;
    // L' of the pair, a lower bound of its trees' distance lower bound L.
    static int counted_bound(const Key& a, const Key& b);

    const std::vector<const PackedDescriptor*>& items_;
    int budget_;
    GraphTerms terms_;
    std::vector<Kind> kinds_;
    std::vector<Key> keys_;
    std::vector<long long> prefix_start_;  // row i's prefix: prefix_[prefix_start_[i] ...]
    std::vector<int> prefix_;              // token ranks, ascending
    std::vector<long long> posting_start_;  // by rank: postings_[posting_start_[r] ...]
    std::vector<Entry> postings_;           // each rank's rows by (size, row)
    std::vector<Entry> small_;              // rows of at most budget nodes, by (size, row)
};

}  // namespace kt::kernels
