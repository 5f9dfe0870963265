// The names pipeline code reads from the module namespace when it runs (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kPipelineLateBound[] = {
    {"describe", "descriptors", LateBinding::Replaceable},
    {"_canonicalize_expr", "descriptors", LateBinding::Replaceable},
    {"_normalize_wildcards", "descriptors", LateBinding::Replaceable},
    {"pairwise_matrix", "similarity", LateBinding::Replaceable},
    {"cluster_by_similarity", "similarity", LateBinding::Replaceable},
    {"behavioral_distance_between_cluster_and_library", "similarity", LateBinding::Replaceable},
    {"compositionality_score", "similarity", LateBinding::Replaceable},
    {"compression_gain", "similarity", LateBinding::Replaceable},
    {"recurrence_strength", "similarity", LateBinding::Replaceable},
    {"anti_unify_cluster", "antiunify", LateBinding::Replaceable},
    {"_merge_wildcards", "antiunify", LateBinding::Replaceable},
    {"_is_valid_generalization", "antiunify", LateBinding::Replaceable},
    {"_display_canonical_expr", "antiunify", LateBinding::Replaceable},
    {"_wildcard_density", "antiunify", LateBinding::Replaceable},
    {"GeneralizedCandidate", "pipeline", LateBinding::BuiltAtImport},
    {"FilterResult", "pipeline", LateBinding::BuiltAtImport},
    {"GRID", "descriptors", LateBinding::Setting},
    {"DEFAULT_VAR_RANGE", "module", LateBinding::Setting},
};

}  // namespace kt
