#include "kernels/tree_layout.hpp"

#include <algorithm>

#include "kernels/flat_tree.hpp"

namespace kt::kernels {

namespace {

PathOrder path_order(std::vector<int> labels, std::vector<int> leftmost) {
    PathOrder order;
    for (int k : keyroots_of(leftmost)) {
        if (leftmost[k] == k) {
            order.leaf_keyroots.push_back(k);
        } else {
            order.inner_keyroots.push_back(k);
            order.inner_work += k - leftmost[k] + 1;
        }
    }
    order.labels = std::move(labels);
    order.leftmost = std::move(leftmost);
    return order;
}

// Each node's depth: a node's parent is the first later node whose subtree starts at or before
// the node's leftmost leaf, found with a stack of the subtrees not yet attached.
std::vector<int> depths(const std::vector<int>& leftmost) {
    const int n = (int)leftmost.size();
    std::vector<int> parent(n, -1), open, depth(n, 0);
    for (int i = 0; i < n; ++i) {
        while (!open.empty() && open.back() >= leftmost[i]) {
            parent[open.back()] = i;
            open.pop_back();
        }
        open.push_back(i);
    }
    for (int i = n - 1; i >= 0; --i) depth[i] = parent[i] < 0 ? 0 : depth[parent[i]] + 1;
    return depth;
}

}  // namespace

TreeLayout lay_out(const std::vector<int>& labels, const std::vector<int>& leftmost) {
    const int n = (int)labels.size();
    // With the children reversed, post-order is the original pre-order read backwards. A node
    // of post-order index i and subtree size s comes after its depth's worth of ancestors and
    // the i - (s - 1) nodes of the subtrees left of it in pre-order, and a post-order subtree
    // of size s ending at index m starts at m - s + 1.
    const std::vector<int> depth = depths(leftmost);
    std::vector<int> mirror_labels(n), mirror_leftmost(n);
    for (int i = 0; i < n; ++i) {
        const int size = i - leftmost[i] + 1;
        const int m = n - 1 - (i - (size - 1) + depth[i]);
        mirror_labels[m] = labels[i];
        mirror_leftmost[m] = m - size + 1;
    }
    TreeLayout layout;
    layout.left = path_order(labels, leftmost);
    layout.right = path_order(std::move(mirror_labels), std::move(mirror_leftmost));
    layout.sorted_labels = labels;
    std::sort(layout.sorted_labels.begin(), layout.sorted_labels.end());
    return layout;
}

}  // namespace kt::kernels
