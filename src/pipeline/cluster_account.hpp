// What scoring a cluster makes, whichever path measured it: the parts measured before the
// bank's size enters, the weighted terms and the score, the candidate and the account
// `_score_cluster` returns. The sympy path (detect.cpp) and the native one (native_scoring.cpp)
// both finish here.
#pragma once

#include <limits>
#include <optional>
#include <utility>

#include "kernels/flat_tree.hpp"
#include "pipeline/score_weights.hpp"
#include "runtime/library_trees.hpp"
#include "runtime/py.hpp"

namespace kt {

// The library as parallel names and expressions, and its descriptors by name.
struct Library {
    object names = new_list(), exprs = new_list(), descs = check(PyDict_New());
};

// The library as the per-cluster entries take it: its expressions in order, described by the
// caller.
Library library_of(handle library, handle lib_descs);

// The tree edit distance from the labelled tree of a normalised formula to the closest
// library expression, and that entry's name; with no tree or no entry measured the distance is
// infinite and the name "none".
std::pair<double, object> closest_entry(const std::optional<kernels::FlatTree>& tree,
                                        const LibraryTrees& trees, handle names);

// What scoring learns of a cluster before the bank's size enters: its generalisation and, when
// it is kept, its unweighted measures against the library. A caller that keeps them (a run's
// state) hands them back for the same cluster and library instead of measuring again.
struct ClusterParts {
    object formula;     // the generalisation (displayed form when kept), or None
    bool kept = false;  // a valid generalisation, which is scored
    double structural = std::numeric_limits<double>::infinity();
    object closest, behavioral, compositionality, compression_gain;
    // The mean similarity of the cluster's pairs when known: the recurrence then needs no
    // tree of the cluster.
    std::optional<double> cohesion;
};

object dict_of_parts(const ClusterParts& p);
ClusterParts parts_of_dict(handle d);

// One cluster's generalisation and, when it is kept, the terms of its score.
struct ClusterScore {
    object formula;     // the generalisation (displayed form when kept), or None
    bool kept = false;  // a valid generalisation, which is scored
    double structural = std::numeric_limits<double>::infinity();
    object closest, behavioral, irreducibility, recurrence, compression;  // weighted terms
    object novelty;
};

// The recurrence of a cluster of k members whose pairs' mean similarity is `cohesion`, in a
// bank of `bank_size`.
double recurrence_from(double cohesion, Py_ssize_t k, Py_ssize_t bank_size);

// The score of kept parts given the cluster's recurrence strength (a float).
ClusterScore score_of_parts(const ClusterParts& parts, handle recurrence, const ScoreWeights& w);

// Whether the score makes a candidate: kept and at least the threshold.
bool is_candidate(const ClusterScore& score, double novelty_threshold);
object candidate(const ClusterScore& score, handle members, handle growth_class);

// The account `_score_cluster` returns (see detect.hpp); `candidate` may be None.
object account(const ClusterParts& parts, const ClusterScore& score, handle candidate,
               const ScoreWeights& w);

}  // namespace kt
