// A labelled ordered tree flattened in post-order, as the tree edit distance reads it:
// integer labels, the leftmost leaf descendant of every node, and the keyroots.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/tree_layout.hpp"

namespace kt::kernels {

struct FlatTree {
    std::vector<int> labels;    // post-order
    std::vector<int> leftmost;  // post-order index of each node's leftmost leaf
    std::vector<int> keyroots;  // ascending
    TreeLayout layout;          // see lay_out

    int size() const { return (int)labels.size(); }
    // Whether the tree has a layout (one assembled by hand has none). Checked by size only: the
    // bounds call it for every pair of a bank, so whoever changes labels must lay out again.
    bool laid_out() const { return layout.left.labels.size() == labels.size(); }
};

// Fills `tree.layout` from its labels and leftmost leaves, which must describe one tree in
// post-order; again whenever they change. The builder, the packed reader and label
// unification do it.
void lay_out(FlatTree& tree);

// The keyroots of a well-formed leftmost array: the highest node of each leftmost-leaf class
// (the root, and every node that has a left sibling), ascending.
std::vector<int> keyroots_of(const std::vector<int>& leftmost);

// Whether `leftmost` describes one ordered tree in post-order: node i's subtree occupies
// [leftmost[i], i], its children's subtrees tile [leftmost[i], i - 1], and one root spans all.
// The tree edit distance indexes its tables by these intervals, so it must never see any other
// array.
bool is_post_order_tree(const std::vector<int>& leftmost);

// Builds a FlatTree as a depth-first walk finishes nodes: call `finish` for every node once
// all its children are finished, passing the post-order index of its first child (or -1 for
// a leaf). Returns the node's post-order index.
class FlatTreeBuilder {
public:
    int finish(int label, int first_child);
    // Completes the keyroots and the layout and hands over the tree; the builder is left empty.
    FlatTree take();

private:
    FlatTree tree_;
};

// Dense ids for the distinct trees of a batch: equal labels and shape, equal id. Banks of
// variants repeat trees, and tree distances depend only on the trees.
class TreeInterner {
public:
    // The tree's id, new ids counting up from 0.
    int id(const FlatTree& tree);
    int size() const { return (int)ids_.size(); }

private:
    std::unordered_map<std::string, int> ids_;
};

}  // namespace kt::kernels
