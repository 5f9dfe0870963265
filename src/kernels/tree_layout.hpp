// What the tree edit distance and its bounds read of one tree, laid out once when the tree is
// built rather than on every pair: both post-order numberings the distance can run on, with
// their keyroots sorted into leaves and inner nodes, and the labels in ascending order.
#pragma once

#include <vector>

namespace kt::kernels {

// One post-order numbering of a tree. The distance decomposes both trees along the paths to
// the first child of every node (the leftmost paths) of this numbering.
struct PathOrder {
    std::vector<int> labels;          // by post-order index
    std::vector<int> leftmost;        // post-order index of each node's leftmost leaf
    std::vector<int> leaf_keyroots;   // keyroots that are leaves, ascending
    std::vector<int> inner_keyroots;  // the other keyroots, ascending
    long long inner_work = 0;         // the sum of the inner keyroots' subtree sizes
};

struct TreeLayout {
    PathOrder left;   // the tree as given
    PathOrder right;  // every node's children in reverse order: the rightmost paths of the tree
    std::vector<int> sorted_labels;
};

// `labels` and `leftmost` must describe one tree in post-order (is_post_order_tree).
TreeLayout lay_out(const std::vector<int>& labels, const std::vector<int>& leftmost);

}  // namespace kt::kernels
