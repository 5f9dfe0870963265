// A cluster generalised into one formula, judged by its share of bare wildcards, and shown
// with plain variable names.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The largest share of bare wildcards a generalised formula may have (MAX_WILDCARD_DENSITY).
inline constexpr double kMaxWildcardDensity = 0.6;

object anti_unify_cluster(handle exprs, bool literal_scores = false);
double wildcard_density(handle expr);
// Not a bare wildcard, and no more than `max_wildcard_density` of its nodes wildcards: detection
// keeps such generalisations, and the filter applies the same limit.
bool is_valid_generalization(handle expr, double max_wildcard_density);
object display_canonical_expr(handle expr);
// The formula with the bare wildcards among the arguments of one sum (or product) made one: a
// sum of wildcards stands for one unknown term, a product of them for one unknown factor. The
// wildcards of a merged formula are numbered anew from φ1.
object merge_wildcards(handle expr);

}  // namespace kt
