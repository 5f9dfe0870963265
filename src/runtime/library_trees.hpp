// Labelled trees of a library of known expressions, built once and shared by the calls that
// score formulas against that library.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "kernels/tree_distance.hpp"
#include "runtime/labels.hpp"

namespace kt {

// Never changed once built, so a call may keep using it while Python code it calls scores
// other libraries, on this thread or another. Label further trees with `Labels(&labels)`.
struct LibraryTrees {
    std::vector<object> exprs;  // the library's expressions themselves: the cache key
    Labels labels;
    // One per expression; absent where building the tree raised an Exception.
    std::vector<std::optional<kernels::FlatTree>> singles;
    // The sum and then the product of each pair (i, j), i < j, in that order.
    std::vector<std::optional<kernels::FlatTree>> pairs;
};

// The trees of the expressions in `list` (a list object), recognised by the identity of its
// items among the few most recent libraries. Building a sum or product is not guarded: its
// error reaches the caller, and nothing is cached.
std::shared_ptr<const LibraryTrees> library_trees(handle list);

// `flat_tree`, or nothing when building it raised an Exception.
std::optional<kernels::FlatTree> tree_or_nothing(handle expr, Labels& labels);

// The smallest distance from `tree` to any present tree of `trees`, or -1 when none is present.
// With `below` (a distance already known, >= 0) the smaller of it and that: trees no closer are
// measured only as far as that takes.
long long min_distance(const kernels::FlatTree& tree,
                       const std::vector<std::optional<kernels::FlatTree>>& trees,
                       kernels::TreeDistanceScratch& scratch, long long below = -1);

}  // namespace kt
