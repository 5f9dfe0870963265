// A cluster generalised into one formula, judged by its share of bare wildcards, and shown
// with plain variable names.
#pragma once

#include "runtime/function.hpp"

namespace kt {

object anti_unify_cluster(handle exprs, bool literal_scores = false);
double wildcard_density(handle expr);
object display_canonical_expr(handle expr);

extern const FuncDef wildcard_density_def, is_valid_generalization_def,
    display_canonical_expr_def, anti_unify_cluster_def;

}  // namespace kt
