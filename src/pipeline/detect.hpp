// The end-to-end detection call: describe the bank, measure and cluster it, generalise each
// cluster and score the formula against the library. The stages are looked up as module
// globals when called, so the module's own functions (or a caller's replacements) run.
#pragma once

#include "pipeline/score_weights.hpp"
#include "runtime/py.hpp"

namespace kt {

struct DetectCall : ScoreWeights {
    handle expression_bank, library, var_ranges_bank;
    double sim_threshold, novelty_threshold, alpha, beta;
    bool verbose;
    // None: the behaviour descriptors draw from numpy's global generator as it stands; an int
    // seeds it first, so that identical calls give identical scores.
    handle seed;
};

// The candidates scoring at least the novelty threshold, in cluster order.
object detect_structure(const DetectCall& call);

// The line a verbose detection prints of the similarities between distinct formulas (the
// matrix's strict upper triangle): their min, mean and max.
object similarity_line(handle values);

struct ClusterCandidateCall : ScoreWeights {
    handle cluster, library, lib_descs, bank_size;
    double novelty_threshold;
    // The validity check's density limit: the filter's `max_wildcard_density`, so that a run
    // asking for another limit applies it where generalisations are first judged too.
    double max_wildcard_density;
    // Generalisations with the wildcards of one sum or product merged (`_merge_wildcards`)
    // before they are judged and scored.
    bool merge_wildcards = false;
    handle parts;  // _score_cluster: the cluster's parts from an earlier account, or None
};

// The candidate detection makes of one cluster, or None: the per-cluster step, for callers
// that cluster a bank themselves (the large-bank path).
object candidate_of_cluster(const ClusterCandidateCall& call);

// The same step with its account, a dict: the candidate (or None), the cluster's generalisation
// (None when there is none), whether it was kept and scored, and then the weighted terms of the
// score by name (summed in the order given, they make the score), the score and the closest
// library entry; and its "parts", what was measured before the bank's size entered, which a
// later call for the same cluster and library may pass back as `parts`.
object score_of_cluster(const ClusterCandidateCall& call);

}  // namespace kt
