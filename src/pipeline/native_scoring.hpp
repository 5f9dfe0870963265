// Clusters of rows read natively scored on their records: the members' trees decoded into one
// pool and generalised, merged, judged, displayed and measured against the library as native
// trees, with no sympy object but the account's own. The sympy path (`_score_cluster`) scores
// every other cluster.
#pragma once

#include "pipeline/score_weights.hpp"
#include "runtime/py.hpp"

namespace kt {

struct NativeScoringCall : ScoreWeights {
    // list[list[tuple[bytes, bytes]]]: each cluster's members as (descriptor record, packed
    // descriptor), the row's `_record` and `_packed`.
    handle clusters;
    handle library, lib_descs, bank_size;
    double novelty_threshold;
    double max_wildcard_density;
    bool merge_wildcards = false;
    // Where given, the constructions the builder asked of sympy are added to it.
    long* delegated = nullptr;
};

// For each cluster, the account `_score_cluster` gives for its members' descriptors, with the
// candidate's formula as printed ("text") and, when kept, the cluster's cohesion in its parts,
// as the run keeps them; None where the native path leaves the cluster to the sympy path.
object score_native_clusters(const NativeScoringCall& call);

}  // namespace kt
