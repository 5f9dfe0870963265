// Descriptors read once into plain data for the native kernels: labels interned to integers,
// trees flattened, behaviour vectors viewed in place.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/similarity.hpp"
#include "module/numpy.hpp"

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

struct NativeDescriptor {
    kernels::StructureFields structure;
    kernels::BehaviourFields behaviour;
    std::unique_ptr<Float64View> vector;  // keeps the behaviour vector's buffer
};

// Reads a descriptor of the shapes `describe` produces. Returns false (with no Python error
// set) for anything else, including a field that raises an Exception when read; such
// descriptors take the literal path.
bool read_native(handle descriptor, Labels& labels, NativeDescriptor& out);

// Every descriptor of a sequence in native form, or false when any is not of the standard
// shapes.
bool read_all_native(handle seq, Labels& labels, std::vector<NativeDescriptor>& out);

// exp(-0.25 * d) for d = 0 .. max_distance, each computed by numpy as the literal path does.
std::vector<double> tree_weights(int max_distance);

}  // namespace kt
