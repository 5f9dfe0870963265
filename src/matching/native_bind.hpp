// `bind` with a native tree as the expression: what each wildcard and variable of a formula
// stands for in the tree, the values native trees too, so that a structure's members are bound
// without a sympy object.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "matching/expr_tree.hpp"
#include "symbolic/build.hpp"

namespace kt {

// (pattern symbol index, the tree it stands for), in the order `bind` lists them.
using TreeBinding = std::vector<std::pair<size_t, symbolic::Expr>>;

// What `bind(formula, expression)` gives for the sympy expression of `target`, `pattern` being
// the formula read with its wildcards into `labels`; nothing where it gives None. A wildcard
// standing for several arguments of a sum or product stands for their sum or product as the
// builder makes it. symbolic::Unsupported where the tree is too deep to read natively.
std::optional<TreeBinding> bind_tree(const ExprTree& pattern, symbolic::Expr target, Labels& labels,
                                     symbolic::Builder& builder);

}  // namespace kt
