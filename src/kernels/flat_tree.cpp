#include "kernels/flat_tree.hpp"

#include <algorithm>
#include <utility>

namespace kt::kernels {

int FlatTreeBuilder::finish(int label, int first_child) {
    const int index = tree_.size();
    tree_.labels.push_back(label);
    tree_.leftmost.push_back(first_child < 0 ? index : tree_.leftmost[first_child]);
    return index;
}

FlatTree FlatTreeBuilder::take() {
    tree_.keyroots = keyroots_of(tree_.leftmost);
    lay_out(tree_);
    return std::exchange(tree_, FlatTree{});
}

void lay_out(FlatTree& tree) { tree.layout = lay_out(tree.labels, tree.leftmost); }

std::vector<int> keyroots_of(const std::vector<int>& leftmost) {
    const int n = (int)leftmost.size();
    std::vector<char> seen(n, 0);
    std::vector<int> keyroots;
    for (int i = n - 1; i >= 0; --i) {
        if (seen[leftmost[i]]) continue;
        seen[leftmost[i]] = 1;
        keyroots.push_back(i);
    }
    std::reverse(keyroots.begin(), keyroots.end());
    return keyroots;
}

bool is_post_order_tree(const std::vector<int>& leftmost) {
    // The finished subtrees not yet attached to a parent, left to right; their intervals
    // tile [0, i - 1]. Node i takes those that start at or after leftmost[i] as its children.
    std::vector<int> open;
    const int n = (int)leftmost.size();
    for (int i = 0; i < n; ++i) {
        const int first = leftmost[i];
        if (first < 0 || first > i) return false;
        int start = i;
        while (!open.empty() && leftmost[open.back()] >= first) {
            start = leftmost[open.back()];
            open.pop_back();
        }
        if (start != first) return false;  // leftmost[i] lies inside an earlier subtree
        open.push_back(i);
    }
    return open.size() <= 1;
}

int TreeInterner::id(const FlatTree& tree) {
    std::string key(reinterpret_cast<const char*>(tree.labels.data()),
                    tree.labels.size() * sizeof(int));
    key.append(reinterpret_cast<const char*>(tree.leftmost.data()),
               tree.leftmost.size() * sizeof(int));
    return ids_.try_emplace(std::move(key), (int)ids_.size()).first->second;
}

}  // namespace kt::kernels
