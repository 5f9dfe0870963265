#include "pipeline/compositions.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_set>

#include "pipeline/sequence_bound.hpp"
#include "runtime/library_trees.hpp"
#include "runtime/off_gil.hpp"
#include "symbolic/rename.hpp"
#include "symbolic/structure.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

bool is_wildcard(sym::Expr e) { return e->name->starts_with("\xcf\x86"); }  // φ...

// The symbols in pre-order (node, then its arguments in order), every occurrence.
void symbols_in_preorder(sym::Expr e, std::vector<sym::Expr>& out, int depth) {
    if (depth > sym::kMaxDepth) throw sym::Unsupported("a tree too deep to rename");
    if (e->kind == sym::Kind::Symbol) out.push_back(e);
    for (sym::Expr a : e->args) symbols_in_preorder(a, out, depth + 1);
}

// `_normalize_wildcards`: the wildcards renamed v0, v1, ... in the order they first appear in
// pre-order, each taking the first such name no other symbol of the formula has, the tree
// rebuilt as xreplace rebuilds it.
sym::Expr normalize_wildcards(sym::Builder& builder, sym::Expr formula) {
    std::vector<sym::Expr> symbols;
    symbols_in_preorder(formula, symbols, 0);
    std::unordered_set<std::string> taken;
    for (sym::Expr s : symbols)
        if (!is_wildcard(s)) taken.insert(*s->name);
    sym::Renaming mapping;
    long counter = 0;
    for (sym::Expr s : symbols) {
        if (!is_wildcard(s) || mapping.count(s)) continue;
        std::string name = "v" + std::to_string(counter);
        while (taken.count(name)) name = "v" + std::to_string(++counter);
        mapping.emplace(s, builder.pool().symbol(name));
        ++counter;
    }
    if (mapping.empty()) return formula;
    return sym::rename(builder, formula, mapping);
}

struct Entry {
    std::shared_ptr<const LibraryTrees> library;
    std::shared_ptr<const CompositionTrees> trees;
};

// Only touched with the GIL held and without calling Python in between.
std::deque<Entry>& cache() {
    static auto* entries = new std::deque<Entry>();
    return *entries;
}

std::shared_ptr<const CompositionTrees> cached(const LibraryTrees* library) {
    auto& entries = cache();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->library.get() != library) continue;
        Entry hit = *it;
        entries.erase(it);
        entries.push_front(hit);
        return hit.trees;
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<const CompositionTrees> CompositionTrees::of(handle lib_exprs) {
    std::shared_ptr<const LibraryTrees> library = library_trees(lib_exprs);
    if (auto hit = cached(library.get())) return hit;

    // The library's own pairs come built; each expression with itself is built here.
    Labels self_labels(&library->labels);
    std::vector<kernels::FlatTree> self;
    for (const object& a : library->exprs) {
        object sum = check(PyNumber_Add(a.ptr(), a.ptr()));
        if (auto t = tree_or_nothing(sum, self_labels)) self.push_back(std::move(*t));
        object product = check(PyNumber_Multiply(a.ptr(), a.ptr()));
        if (auto t = tree_or_nothing(product, self_labels)) self.push_back(std::move(*t));
    }

    // Every tree relabelled by label text into one table of its own, once for each distinct
    // tree, so that formula trees labelled later never add to a shared table.
    auto out = std::shared_ptr<CompositionTrees>(new CompositionTrees());
    kernels::TreeInterner distinct;
    auto add = [&](const kernels::FlatTree& tree, const Labels& labels) {
        kernels::FlatTree t = tree;
        for (int& label : t.labels)
            label = out->labels_.try_emplace(labels.text(label), (int)out->labels_.size())
                        .first->second;
        if (distinct.id(t) < (int)out->trees_.size()) return;  // a tree met already
        kernels::lay_out(t);
        out->trees_.push_back(std::move(t));
    };
    for (const auto& pair : library->pairs)
        if (pair) add(*pair, library->labels);
    for (const kernels::FlatTree& t : self) add(t, self_labels);
    for (const kernels::FlatTree& t : out->trees_) {
        std::vector<std::pair<int, int>> counts;  // (label, count), from the sorted labels
        for (int label : t.layout.sorted_labels) {
            if (counts.empty() || counts.back().first != label) counts.emplace_back(label, 0);
            ++counts.back().second;
        }
        out->counts_.push_back(std::move(counts));
    }

    // Another call may have published the same library's meanwhile.
    if (auto hit = cached(library.get())) return hit;
    auto& entries = cache();
    entries.push_front({library, out});
    if (entries.size() > 4) entries.pop_back();
    return out;
}

kernels::FlatTree CompositionTrees::labelled(symbolic::Builder& builder,
                                             symbolic::Expr formula) const {
    symbolic::Pool& pool = builder.pool();
    formula = normalize_wildcards(builder, formula);
    symbolic::LabelTable table;
    kernels::FlatTree tree = symbolic::labelled_tree(pool, builder.oracle(), formula, table);
    // A label no composition has gets an id of its own past theirs.
    std::vector<int> ids;
    int fresh = (int)labels_.size();
    for (const std::string& text : table.texts()) {
        auto found = labels_.find(text);
        ids.push_back(found != labels_.end() ? found->second : fresh++);
    }
    for (int& label : tree.labels) label = ids[(size_t)label];
    kernels::lay_out(tree);
    return tree;
}

// Trees are taken in order of the label bound of their distance (at least the difference of
// the sizes; see kernels::tree_distance_lower_bound), taken here from label counts: once the
// bound reaches the best distance found, no tree left is closer. A tree below it is still
// ruled out by the sequence bound where it can, and the rest are measured only as far as the
// best.
long long CompositionTrees::min_distance(const kernels::FlatTree& tree, Scratch& scratch,
                                         const std::atomic<bool>& stop) const {
    std::vector<int>& mine = scratch.counts;  // the formula's count of each label
    mine.assign(labels_.size(), 0);
    for (int label : tree.labels)
        if (label < (int)mine.size()) ++mine[(size_t)label];  // past: a label no tree has
    std::vector<std::uint64_t>& order = scratch.order;  // bound, then tree
    order.clear();
    for (size_t k = 0; k < trees_.size(); ++k) {
        int common = 0;
        for (const auto& [label, count] : counts_[k])
            common += std::min(count, mine[(size_t)label]);
        const int bound = std::max(tree.size(), trees_[k].size()) - common;
        order.push_back((std::uint64_t)bound << 32 | k);
    }
    std::sort(order.begin(), order.end());
    long long best = -1;
    for (const std::uint64_t entry : order) {
        if (stop.load(std::memory_order_relaxed)) break;
        const int bound = (int)(entry >> 32);
        const kernels::FlatTree& other = trees_[(size_t)(entry & 0xffffffffu)];
        if (best < 0) {
            best = kernels::tree_distance(tree, other, scratch.tree, &stop);
            continue;
        }
        if (bound >= best) break;
        if (sequence_bound_within(tree, other, (int)best - 1, scratch.row) >= best) continue;
        const int d =
            kernels::tree_distance_within(tree, other, (int)best - 1, scratch.tree, &stop);
        if (d >= 0 && d < best) best = d;
    }
    return best;
}

std::vector<long long>
CompositionTrees::min_distances(const std::vector<kernels::FlatTree>& trees) const {
    std::vector<long long> out(trees.size(), -1);
    if (trees.empty()) return out;
    run_released(1, [&](int, const Stop& stop) {
        Scratch scratch;
        for (size_t k = 0; k < trees.size() && !stop; ++k)
            out[k] = min_distance(trees[k], scratch, stop);
    });
    return out;
}

}  // namespace kt
