// Sorting detected candidates into novel, repeated and discarded structures.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The filter's thresholds where a caller gives none.
inline constexpr int kDefaultMinMembers = 2;
inline constexpr double kDefaultNovelThreshold = 6.0, kDefaultRepeatedThreshold = 1.0;
inline constexpr double kDefaultCompositionThreshold = 2.0;

struct FilterCall {
    handle candidates, library, min_members;
    double novel_threshold, repeated_threshold, composition_threshold, max_wildcard_density;
    // None (or unset): every composition distance is measured here. A list holds one entry per
    // candidate, its distance where a caller measured it or None.
    handle distances;
};

// The FilterResult of the candidates: novel and repeated by score, highest first, and the
// discarded ones with their reasons.
object filter_candidates(const FilterCall& call);

struct FilterPendingCall {
    handle candidates, min_members;
    double max_wildcard_density;
};

// For each candidate, whether it passes the tests before the composition distance, so that its
// distance is the one the filter measures.
object filter_pending(const FilterPendingCall& call);

struct CompositionDistancesCall {
    handle formulas, library;
    bool native = true;
};

// For each formula, the filter's smallest tree edit distance to a sum or product of two
// library expressions (inf where none could be compared): the one measure of the filter that
// depends neither on the bank nor on a threshold, so that a caller can keep it. A formula is
// measured on its native tree where one holds it, unless `native` is false: then, as every
// other formula, through sympy.
object composition_distances(const CompositionDistancesCall& call);

}  // namespace kt
