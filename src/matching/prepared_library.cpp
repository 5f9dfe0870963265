#include "matching/prepared_library.hpp"

#include <algorithm>
#include <deque>

namespace kt {

Shaped::Shaped(ExprTree read, Labels& labels, int variable_label, int wildcard_label)
    : tree(std::move(read)), blind(name_blind_tree(tree, labels, variable_label, wildcard_label)),
      product_rest(rest_without_constants(tree, false)),
      sum_rest(rest_without_constants(tree, true)) {
    std::unordered_map<int, int> counts;
    for (int k = 0; k < (int)tree.nodes.size(); ++k) {
        const ExprNode& n = tree.nodes[(size_t)k];
        if (n.kind != ExprNode::Op) continue;
        if (vanishes(k)) {
            ++removable;
            continue;
        }
        ++counts[n.label];
    }
    ops.assign(counts.begin(), counts.end());
    std::sort(ops.begin(), ops.end());
}

bool Shaped::vanishes(int k) const {
    const ExprNode& n = tree.nodes[(size_t)k];
    if (!n.commutative) return false;
    int others = 0, wild = 0;
    for (int i = 0; i < n.count; ++i)
        (tree.nodes[(size_t)tree.children(k)[i]].kind == ExprNode::Wild ? wild : others)++;
    return wild > 0 && others <= 1;
}

bool Shaped::ops_within(const Shaped& other) const {
    size_t j = 0;
    for (auto [label, count] : ops) {
        while (j < other.ops.size() && other.ops[j].first < label) ++j;
        if (j == other.ops.size() || other.ops[j].first != label || other.ops[j].second < count)
            return false;
    }
    return true;
}

namespace {

using Cache = std::deque<std::shared_ptr<const PreparedLibrary>>;

Cache& cache() {  // only touched with the GIL held and without calling Python in between
    static auto* entries = new Cache();
    return *entries;
}

}  // namespace

std::shared_ptr<const PreparedLibrary> prepared(handle library) {
    constexpr size_t kKept = 4;
    std::vector<object> names, exprs;
    Items items(check(PyDict_Items(library.ptr())));
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        auto [name, expr] = unpack2(items[i]);
        names.push_back(name);
        exprs.push_back(expr);
    }
    auto same = [&](const PreparedLibrary& p) {
        if (p.exprs.size() != exprs.size()) return false;
        for (size_t i = 0; i < exprs.size(); ++i)
            if (p.exprs[i].ptr() != exprs[i].ptr() || p.names[i].ptr() != names[i].ptr())
                return false;
        return true;
    };
    for (auto it = cache().begin(); it != cache().end(); ++it) {
        if (!same(**it)) continue;
        auto hit = *it;
        cache().erase(it);
        cache().push_front(hit);
        return hit;
    }
    auto lib = std::make_shared<PreparedLibrary>();
    lib->variable_label = lib->labels.of("<variable>");
    lib->wildcard_label = lib->labels.of("<wildcard>");
    for (size_t k = 0; k < exprs.size(); ++k) {
        std::optional<Shaped> law;
        attempt([&] {
            law.emplace(read_tree(exprs[k], lib->labels, false), lib->labels, lib->variable_label,
                        lib->wildcard_label);
        });
        if (law) {
            lib->by_shape.emplace(law->tree.nodes.back().shape, (int)k);
            lib->by_product_rest.emplace(law->product_rest.shape, (int)k);
            lib->by_sum_rest.emplace(law->sum_rest.shape, (int)k);
        }
        lib->laws.push_back(std::move(law));
    }
    lib->names = std::move(names);
    lib->exprs = std::move(exprs);
    cache().push_front(lib);
    if (cache().size() > kKept) cache().pop_back();
    return lib;
}

}  // namespace kt
