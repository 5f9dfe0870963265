// Scores of a generalised formula and its cluster against the bank and the library:
// compositionality, behavioural distance, recurrence and compression.
#pragma once

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

}  // namespace kt
