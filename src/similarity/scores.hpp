// Scores of a generalised formula and its cluster against the bank and the library:
// compositionality, behavioural distance, recurrence and compression.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kernels/similarity.hpp"
#include "runtime/library_trees.hpp"
#include "runtime/py.hpp"

namespace kt {

object node_count(handle expr);
object compositionality_score(handle formula, handle lib_exprs);
// Signed log1p; values that are not finite map to 1.0.
object log_compress(double x);
object behavioral_distance(handle cluster, handle lib_descs);
object recurrence_strength(handle cluster, handle all_count);
// The mean similarity of a cluster's pairs, as the recurrence measures it (0 for fewer than two).
object cluster_cohesion(handle cluster);
object compression_gain(handle cluster, handle formula);

// ---- The measures on plain data, which the scoring of native trees shares ----------------

// The compositionality of a formula from the labelled tree of its normalised form (nothing
// where none could be built): exp(-d/4) of its smallest distance to a law or to the sum or
// product of two, 0.0 when no distance was measured. `singles`: the smallest distance to a law
// when known (-1 for none measured).
double compositionality_of(const std::optional<kernels::FlatTree>& tree,
                           const LibraryTrees& library,
                           std::optional<long long> singles = std::nullopt);

// A cluster's mean derivative, integral, stability and sensitivity.
struct BehaviourMeans {
    double deriv, integ, stab, sens;
};
// The weighted behavioural distance of a cluster (its mean behaviour vector and means) to one
// library entry (its vector of the same length and the same four fields), given the penalty of
// their growth classes.
double behaviour_distance(std::span<const double> mine, const BehaviourMeans& means,
                          std::span<const double> theirs, const double (&fields)[4],
                          double growth_pen);

// The library's descriptors as the behavioural distance reads them, read once: nothing when an
// entry is not as `describe` makes it (a float64 vector, float fields, a str growth class).
struct LibraryBehaviour {
    struct Entry {
        std::vector<double> vec;
        double fields[4];  // derivative, integral, stability, sensitivity
        std::string growth;
    };
    std::vector<Entry> entries;
};
std::optional<LibraryBehaviour> library_behaviour(handle lib_descs);

// A member's behaviour fields.
struct MemberBehaviour {
    std::vector<double> vec;
    double deriv, integ, stab, sens;
    std::string growth;
};
// `behavioral_distance_between_cluster_and_library` of members whose vectors all have the
// grid's length; nothing when a member's or an entry's vector has another.
std::optional<double> behavioural_distance_of(const std::vector<MemberBehaviour>& members,
                                              const LibraryBehaviour& lib, std::size_t grid);

// The mean joint similarity of the pairs of two or more descriptors (`_cluster_cohesion`).
double cohesion_of(const std::vector<const kernels::StructureFields*>& structures,
                   const std::vector<const kernels::BehaviourFields*>& behaviours);

// Sizes (node counts) below this are divided exactly as doubles.
inline constexpr long long kExactSize = 1LL << 53;
// The compression gain of a formula of `nodes` nodes over members of `total` nodes in all, both
// below kExactSize: (total - nodes) / total within [0, 1], 0.0 for no nodes.
double compression_of(long long total, long long nodes);

}  // namespace kt
