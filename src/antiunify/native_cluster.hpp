// A cluster generalised on native trees, step for step as cluster.hpp does it on sympy
// expressions: its members tagged with source ids and folded, the wildcards of one sum or product
// merged, judged by the share of wildcards, and shown with plain variable names. Pure C++; what
// the builder cannot decide throws symbolic::Unsupported.
#pragma once

#include <optional>
#include <span>

#include "symbolic/build.hpp"

namespace kt {

// The generalisation of the members' canonical trees (their descriptors' `expr`), as detection
// makes it: each renamed with its place in the cluster as source id, the distinct ones renamed
// again with their place among those (`anti_unify_cluster`) and folded left to right. Nothing
// when fewer than two are distinct.
std::optional<symbolic::Expr> generalize_cluster(symbolic::Builder& builder,
                                                 std::span<const symbolic::Expr> members);

// `_merge_wildcards`: one wildcard kept of those among the arguments of a sum or product, the
// wildcards then numbered φ1, φ2, ... in the order of their numbers.
symbolic::Expr merge_wildcards(symbolic::Builder& builder, symbolic::Expr e);

// `_wildcard_density` and `_is_valid_generalization`.
double wildcard_density(symbolic::Expr e);
bool is_valid_generalization(symbolic::Expr e, double max_wildcard_density);

// `_display_canonical_expr`: source variables __KLTN_<id>_v<k> shown as v<k>.
symbolic::Expr display_canonical(symbolic::Builder& builder, symbolic::Expr e);

// `_normalize_wildcards`: wildcards named by the first v<k> no other symbol has, in pre-order.
symbolic::Expr normalize_wildcards(symbolic::Builder& builder, symbolic::Expr e);

// Whether a symbol of the tree has a wildcard's name.
bool holds_wildcard(symbolic::Expr e);

}  // namespace kt
