// A library of laws read once for matching: each law's tree with what matching reads of it again
// and again, and indexes of the laws by the shapes a match must share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "matching/expr_tree.hpp"

namespace kt {

// A tree with what matching reads of it again and again.
struct Shaped {
    ExprTree tree;
    kernels::FlatTree blind;
    Rest product_rest, sum_rest;
    std::vector<std::pair<int, int>> ops;  // (operator label, count), by label, of nodes that stay
    int removable = 0;  // sums and products that vanish when their wildcards bind nothing

    Shaped(ExprTree read, Labels& labels, int variable_label, int wildcard_label);

    // A sum or product of wildcards and at most one other argument: with its wildcards bound to
    // nothing it is that argument, and its operator need not occur in a law it matches.
    bool vanishes(int k) const;
    // Every operator of `this` occurs in `other` at least as often.
    bool ops_within(const Shaped& other) const;
};

// The library read once; never changed after it is built, so calls share it.
struct PreparedLibrary {
    std::vector<object> names, exprs;  // the cache key, by identity
    Labels labels;
    int variable_label, wildcard_label;
    std::vector<std::optional<Shaped>> laws;  // absent where the expression could not be read
    std::unordered_multimap<std::uint64_t, int> by_shape, by_product_rest, by_sum_rest;
};

// The prepared form of `library` (a dict {name: expression}), from a small cache of the
// libraries last asked for, which keeps the same dict with the same entries prepared.
std::shared_ptr<const PreparedLibrary> prepared(handle library);

}  // namespace kt
