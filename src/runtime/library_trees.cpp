#include "runtime/library_trees.hpp"

#include <algorithm>
#include <deque>

#include "runtime/off_gil.hpp"

namespace kt {

namespace {

bool same_library(const LibraryTrees& entry, const std::vector<object>& exprs) {
    if (entry.exprs.size() != exprs.size()) return false;
    for (size_t i = 0; i < exprs.size(); ++i)
        if (entry.exprs[i].ptr() != exprs[i].ptr()) return false;
    return true;
}

using Cache = std::deque<std::shared_ptr<const LibraryTrees>>;

// Only touched with the GIL held and without calling Python in between.
Cache& cache() {
    static auto* entries = new Cache();
    return *entries;
}

std::shared_ptr<const LibraryTrees> cached(const std::vector<object>& exprs) {
    Cache& entries = cache();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!same_library(**it, exprs)) continue;
        auto hit = *it;
        entries.erase(it);
        entries.push_front(hit);
        return hit;
    }
    return nullptr;
}

std::shared_ptr<const LibraryTrees> build(std::vector<object> exprs) {
    auto entry = std::make_shared<LibraryTrees>();
    entry->exprs = std::move(exprs);
    for (const object& le : entry->exprs)
        entry->singles.push_back(tree_or_nothing(le, entry->labels));
    for (size_t i = 0; i < entry->exprs.size(); ++i) {
        for (size_t j = i + 1; j < entry->exprs.size(); ++j) {
            handle a = entry->exprs[i], b = entry->exprs[j];
            object sum = check(PyNumber_Add(a.ptr(), b.ptr()));
            entry->pairs.push_back(tree_or_nothing(sum, entry->labels));
            object product = check(PyNumber_Multiply(a.ptr(), b.ptr()));
            entry->pairs.push_back(tree_or_nothing(product, entry->labels));
        }
    }
    return entry;
}

}  // namespace

std::optional<kernels::FlatTree> tree_or_nothing(handle expr, Labels& labels) {
    std::optional<kernels::FlatTree> tree;
    attempt([&] { tree = flat_tree(expr, labels); });
    return tree;
}

std::shared_ptr<const LibraryTrees> library_trees(handle list) {
    constexpr size_t kKept = 4;
    // The items as they are now, owned: Python code run while building may change the list.
    std::vector<object> exprs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        exprs.push_back(nb::borrow(PyList_GET_ITEM(list.ptr(), i)));
    if (auto hit = cached(exprs)) return hit;
    auto entry = build(std::move(exprs));
    // Another call may have built and published the same library meanwhile.
    if (auto hit = cached(entry->exprs)) return hit;
    Cache& entries = cache();
    entries.push_front(entry);
    if (entries.size() > kKept) entries.pop_back();
    return entry;
}

long long min_distance(const kernels::FlatTree& tree,
                       const std::vector<std::optional<kernels::FlatTree>>& trees,
                       kernels::TreeDistanceScratch& scratch, long long below) {
    long long best = below;
    run_released(1, [&](int, const Stop& stop) {
        for (const auto& other : trees) {
            if (!other || stop) continue;
            if (best < 0) {
                best = kernels::tree_distance(tree, *other, scratch, &stop);
                continue;
            }
            // Only a closer tree lowers the minimum: each is measured only as far as the
            // minimum so far (most are ruled out by the label bound in one pass).
            const int d =
                kernels::tree_distance_within(tree, *other, (int)best - 1, scratch, &stop);
            if (d >= 0 && d < best) best = d;
        }
    });
    return best;
}

}  // namespace kt
