// Labelled trees of sympy expressions for the tree kernels: operator and class names and the
// printed form of leaves interned to integers, and the flattened tree of an expression.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kernels/flat_tree.hpp"
#include "runtime/py.hpp"

namespace kt {

// Interns the labels of one batch: operator and class names, and the printed form of leaves.
// A table may extend a frozen `base` table (shared between calls, never written through
// here): labels the base knows keep its ids, new ones get ids after the base's.
class Labels {
public:
    Labels() = default;
    explicit Labels(const Labels* base) : base_(base), next_(base->next_) {}
    Labels(const Labels&) = delete;
    Labels& operator=(const Labels&) = delete;

    int of(std::string_view text);
    // `type(expr).__name__`.
    int of_type(handle expr);
    // `str(leaf)`, computed once per leaf object of the batch.
    int of_leaf(handle leaf);
    // Every label's text, indexed by id (a table without a base).
    std::vector<std::string> texts() const;
    // One label's text.
    const std::string& text(int id) const;

private:
    const Labels* base_ = nullptr;
    int next_ = 0;
    std::unordered_map<std::string, int> ids_;
    std::vector<std::string> own_texts_;  // by id, from the first id this table gave
    std::unordered_map<PyTypeObject*, int> types_;
    std::unordered_map<PyObject*, int> leaves_;
    std::vector<object> kept_;  // keeps cached leaves and types alive: addresses stay theirs
};

// The labelled tree of `to_zss(expr)`: class name for inner nodes, str() for leaves.
kernels::FlatTree flat_tree(handle expr, Labels& labels);

}  // namespace kt
