// Structural and behavioural similarity of two expression descriptors, on plain data.
#pragma once

#include <vector>

#include "kernels/flat_tree.hpp"
#include "kernels/sequence_ratio.hpp"
#include "kernels/tree_distance.hpp"

namespace kt::kernels {

struct StructureFields {
    FlatTree tree;
    std::vector<int> operators;  // interned operator names
    int root_type;               // interned
    int repeated_var;            // 0 or 1
    long long unary_depth;
};

struct BehaviourFields {
    double frac_invalid;
    bool has_vector;             // false when the vector is None
    const double* vector;
    long long length;
    int growth_class;            // interned
    int monotone, bounded, periodic;  // 0 or 1
};

struct SimilarityScratch {
    TreeDistanceScratch tree;
    SequenceScratch sequence;
};

// `tree_weight[d]` is exp(-0.25 * d) for every distance d up to |A| + |B|. NaN when `stop`
// was set before the tree distance was complete.
double structural_similarity(const StructureFields& a, const StructureFields& b,
                             const double* tree_weight, SimilarityScratch& scratch,
                             const std::atomic<bool>* stop = nullptr);

// The same, given the tree edit distance of the two trees.
double structural_similarity(const StructureFields& a, const StructureFields& b, int distance,
                             const double* tree_weight, SimilarityScratch& scratch);

double behavioural_similarity(const BehaviourFields& a, const BehaviourFields& b);

// An upper bound of the structural similarity, never below the exact value in floating point,
// from a lower bound of the tree distance and an upper bound of the operator-sequence ratio
// that cost a pass over the labels and operators (proof beside it). `tree_weight` as above.
double structural_bound(const StructureFields& a, const StructureFields& b,
                        const double* tree_weight);

// A looser bound that costs a few operations: from the sizes of the trees and of the operator
// lists only. Pruning tries it first.
double structural_bound_by_sizes(const StructureFields& a, const StructureFields& b,
                                 const double* tree_weight);

// The largest structural similarity of any pair whose tree weight is at most `tree_weight`:
// every operator matched and every bonus given. Not below structural_bound of such a pair.
double structural_ceiling(double tree_weight);

// For the similarity graph, which keeps the pairs whose alpha * structural + beta *
// behavioural reaches `threshold`: that joint similarity when it reaches `threshold`, the same
// double as alpha * structural_similarity(a, b, ...) + beta * behavioural; NaN when it does not
// or when `stop` was set. The tree distance is measured only as far as the threshold needs
// (tree_distance_within). `distance` is the pair's tree distance when the caller knows it (from
// a table of repeated trees), else -1; it is set when the distance was measured in full.
// `at_least` is a lower bound of the distance the caller knows (0 for none); when the distance
// was not measured in full it is raised to the bound the measuring proved, so that a later pair
// of the same trees may be settled without measuring again. `tree_weight` as above.
double similarity_reaching(const StructureFields& a, const StructureFields& b, double behavioural,
                           double alpha, double beta, double threshold, const double* tree_weight,
                           int& distance, int& at_least, SimilarityScratch& scratch,
                           const std::atomic<bool>* stop = nullptr);

// Python's `min` keeps its first argument unless a later one is smaller, so the two argument
// orders differ for NaN: min(1.0, NaN) is 1.0, min(NaN, 1.0) is NaN.
inline double min_one_first(double x) { return x < 1.0 ? x : 1.0; }
inline double min_one_last(double x) { return 1.0 < x ? 1.0 : x; }

// The recurrence of a cluster of k formulas whose pairs' mean similarity is `cohesion`, in a
// bank of `all_count`: larger, tighter clusters recur more.
inline double recurrence_of(double cohesion, double k, double all_count) {
    return cohesion * (k / all_count) * k;
}

}  // namespace kt::kernels
