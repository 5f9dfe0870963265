// The filter's compositions natively: every sum and product of two library expressions (each
// also with itself) as a labelled tree, built once per library, and the smallest tree edit
// distance from a formula's tree to any of them, searched in order of a bound so that most
// trees are ruled out without being compared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kernels/tree_distance.hpp"
#include "runtime/py.hpp"
#include "symbolic/build.hpp"

namespace kt {

class CompositionTrees {
public:
    // The compositions of the expressions of `lib_exprs` (a list), shared by the calls that
    // give the same expressions. Errors of building a sum or product reach the caller.
    static std::shared_ptr<const CompositionTrees> of(handle lib_exprs);

    // The tree of a formula (a native tree) as the filter compares it: its wildcards
    // renamed as `_normalize_wildcards` renames them, labelled as the compositions are (the
    // class name of an inner node, the str of a leaf). symbolic::Unsupported for a tree too deep.
    kernels::FlatTree labelled(symbolic::Builder& builder, symbolic::Expr formula) const;

    // The smallest distance from each tree to any composition; -1 where none could be built.
    // Runs off the GIL.
    std::vector<long long> min_distances(const std::vector<kernels::FlatTree>& trees) const;

private:
    struct Scratch {
        kernels::TreeDistanceScratch tree;
        std::vector<int> row, counts;
        std::vector<std::uint64_t> order;
    };
    long long min_distance(const kernels::FlatTree& tree, Scratch& scratch,
                           const std::atomic<bool>& stop) const;

    std::unordered_map<std::string, int> labels_;
    std::vector<kernels::FlatTree> trees_;
    std::vector<std::vector<std::pair<int, int>>> counts_;  // each tree's (label, count)
};

}  // namespace kt
