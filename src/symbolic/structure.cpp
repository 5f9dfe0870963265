#include "symbolic/structure.hpp"

#include <algorithm>
#include <set>

#include "symbolic/print.hpp"
#include "symbolic/rename.hpp"

namespace kt::symbolic {

namespace {

bool is_wildcard(Expr e) { return e->name->rfind("\xcf\x86", 0) == 0; }  // φ...

void first_appearances(Expr e, std::vector<Expr>& seen, int depth) {
    if (depth > kMaxDepth) throw Unsupported("a tree too deep to describe natively");
    if (e->kind == Kind::Symbol) {
        if (!is_wildcard(e) && std::find(seen.begin(), seen.end(), e) == seen.end())
            seen.push_back(e);
        return;
    }
    for (Expr a : e->args) first_appearances(a, seen, depth + 1);
}

long depth_of(Expr e) {
    long deepest = -1;
    for (Expr a : e->args) deepest = std::max(deepest, depth_of(a));
    return deepest + 1;
}

long unary_depth_of(Expr e) {
    long deepest = 0;
    for (Expr a : e->args) deepest = std::max(deepest, unary_depth_of(a));
    return e->kind == Kind::Function ? deepest + 1 : deepest;
}

void operators_of(Expr e, std::vector<std::string>& out) {
    if (!e->args.empty()) out.push_back(class_name(e));
    for (Expr a : e->args) operators_of(a, out);
}

void symbols_of(Expr e, std::set<Expr>& out) {
    if (e->kind == Kind::Symbol) out.insert(e);
    for (Expr a : e->args) symbols_of(a, out);
}

int add_subtree(Pool& pool, Oracle& oracle, Expr e, LabelTable& labels,
                kernels::FlatTreeBuilder& builder) {
    if (e->args.empty()) {
        std::string text;
        switch (e->kind) {
            case Kind::Symbol:
                text = *e->name;
                break;
            case Kind::Integer:
                text = std::to_string(e->p);
                break;
            case Kind::Rational:
                text = std::to_string(e->p) + "/" + std::to_string(e->q);
                break;
            case Kind::Pi:
                text = "pi";
                break;
            case Kind::Exp1:
                text = "E";
                break;
            default:
                text = str(pool, oracle, e);
        }
        return builder.finish(labels.of(text), -1);
    }
    const int label = labels.of(class_name(e));
    int first = -1;
    for (std::size_t k = 0; k < e->args.size(); ++k) {
        const int child = add_subtree(pool, oracle, e->args[k], labels, builder);
        if (k == 0) first = child;
    }
    return builder.finish(label, first);
}

}  // namespace

Expr canonicalize_names(Builder& builder, Expr e, const std::optional<std::string>& source_id) {
    std::vector<Expr> seen;
    first_appearances(e, seen, 0);
    Renaming mapping;
    for (std::size_t k = 0; k < seen.size(); ++k) {
        std::string name;
        if (source_id) name.append("__KLTN_").append(*source_id).append("_");
        name.append("v").append(std::to_string(k));
        mapping.emplace(seen[k], builder.pool().symbol(name));
    }
    return rename(builder, e, mapping);
}

Structure structure_of(Expr e) {
    Structure s;
    s.root_type = class_name(e);
    s.depth = depth_of(e);
    s.n_nodes = (long)node_count(e);
    std::set<Expr> all;
    symbols_of(e, all);
    s.n_vars = (long)all.size();
    if (e->args.size() >= 2) {
        std::vector<std::set<Expr>> per_arg(e->args.size());
        for (std::size_t k = 0; k < e->args.size(); ++k) symbols_of(e->args[k], per_arg[k]);
        for (std::size_t i = 0; i < per_arg.size() && !s.repeated_var; ++i)
            for (std::size_t j = i + 1; j < per_arg.size() && !s.repeated_var; ++j)
                for (Expr x : per_arg[i])
                    if (per_arg[j].count(x)) {
                        s.repeated_var = true;
                        break;
                    }
    }
    s.unary_depth = unary_depth_of(e);
    operators_of(e, s.operators);
    return s;
}

int LabelTable::of(const std::string& text) {
    auto [it, added] = ids_.try_emplace(text, (int)texts_.size());
    if (added) texts_.push_back(text);
    return it->second;
}

kernels::FlatTree labelled_tree(Pool& pool, Oracle& oracle, Expr e, LabelTable& labels) {
    kernels::FlatTreeBuilder builder;
    add_subtree(pool, oracle, e, labels, builder);
    return builder.take();
}

}  // namespace kt::symbolic
