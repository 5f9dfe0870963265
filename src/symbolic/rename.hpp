// Symbols renamed as `expr.xreplace(mapping)` renames them: every node above a renamed symbol
// built again through its constructor (the builder's), which may re-sort or re-evaluate it.
#pragma once

#include <unordered_map>

#include "symbolic/build.hpp"

namespace kt::symbolic {

using Renaming = std::unordered_map<Expr, Expr>;

// `e.xreplace(mapping)` for a mapping of symbols to symbols. Throws Unsupported for a tree
// deeper than the walks here go.
Expr rename(Builder& builder, Expr e, const Renaming& mapping);

// The depth a native walk goes to before it gives the tree up.
constexpr int kMaxDepth = 400;

}  // namespace kt::symbolic
