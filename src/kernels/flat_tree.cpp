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
    // A keyroot is the highest node of each leftmost-leaf class: the root, and every node
    // that has a left sibling.
    const int n = tree_.size();
    std::vector<char> seen(n, 0);
    tree_.keyroots.clear();
    for (int i = n - 1; i >= 0; --i) {
        if (seen[tree_.leftmost[i]]) continue;
        seen[tree_.leftmost[i]] = 1;
        tree_.keyroots.push_back(i);
    }
    std::reverse(tree_.keyroots.begin(), tree_.keyroots.end());
    return std::exchange(tree_, FlatTree{});
}

int TreeInterner::id(const FlatTree& tree) {
    std::string key(reinterpret_cast<const char*>(tree.labels.data()), tree.labels.size() * sizeof(int));
    key.append(reinterpret_cast<const char*>(tree.leftmost.data()), tree.leftmost.size() * sizeof(int));
    return ids_.try_emplace(std::move(key), (int)ids_.size()).first->second;
}

}  // namespace kt::kernels
