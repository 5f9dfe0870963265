#include "antiunify/native_cluster.hpp"

#include <algorithm>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "antiunify/native_fold.hpp"
#include "symbolic/rename.hpp"
#include "symbolic/structure.hpp"

namespace kt {

namespace sym = symbolic;
using sym::Expr;
using sym::Kind;

namespace {

const std::string kPhi = "\xcf\x86";  // φ

// "v<k>", built by appending (GCC 12 warns falsely about `"v" + std::to_string(k)`).
std::string v_named(std::size_t k) {
    std::string name = "v";
    name += std::to_string(k);
    return name;
}

void too_deep(int depth) {
    if (depth > sym::kMaxDepth) throw sym::Unsupported("a tree too deep to generalise natively");
}

// The symbols of a tree in pre-order, each as often as it occurs.
void symbols_in_order(Expr e, std::vector<Expr>& out, int depth = 0) {
    too_deep(depth);
    if (e->kind == Kind::Symbol) out.push_back(e);
    for (Expr a : e->args) symbols_in_order(a, out, depth + 1);
}

std::vector<Expr> distinct_symbols(Expr e) {
    std::vector<Expr> all, out;
    symbols_in_order(e, all);
    std::unordered_set<Expr> seen;
    for (Expr s : all)
        if (seen.insert(s).second) out.push_back(s);
    return out;
}

Expr merged(sym::Builder& b, Expr e, int depth) {
    too_deep(depth);
    if (e->args.empty()) return e;
    const bool joins = e->kind == Kind::Add || e->kind == Kind::Mul;
    std::vector<Expr> parts;
    bool changed = false, wildcard_kept = false;
    for (Expr a : e->args) {
        Expr part = merged(b, a, depth + 1);
        changed |= part != a;
        if (joins && is_wildcard_node(part)) {
            if (wildcard_kept) {
                changed = true;
                continue;
            }
            wildcard_kept = true;
        }
        parts.push_back(part);
    }
    return changed ? b.rebuild(e, parts) : e;
}

// The digits after φ as `renumbered` in cluster.cpp reads them.
long long wildcard_number(const std::string& name) {
    long long k = 0;
    for (char ch : name.substr(kPhi.size()))
        k = ch >= '0' && ch <= '9' && k < (1LL << 40) ? k * 10 + (ch - '0') : k;
    return k;
}

Expr renumbered(sym::Builder& b, Expr e) {
    std::vector<std::pair<long long, Expr>> wildcards;
    for (Expr s : distinct_symbols(e))
        if (is_wildcard_node(s)) wildcards.emplace_back(wildcard_number(*s->name), s);
    std::sort(wildcards.begin(), wildcards.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    sym::Renaming mapping;
    for (std::size_t i = 0; i < wildcards.size(); ++i)
        mapping.emplace(wildcards[i].second, b.pool().symbol(kPhi + std::to_string(i + 1)));
    return sym::rename(b, e, mapping);
}

}  // namespace

bool holds_wildcard(Expr e) {
    std::vector<Expr> all;
    symbols_in_order(e, all);
    return std::any_of(all.begin(), all.end(), is_wildcard_node);
}

std::optional<Expr> generalize_cluster(sym::Builder& b, std::span<const Expr> members) {
    std::vector<Expr> unique;
    std::unordered_set<Expr> seen;
    for (std::size_t k = 0; k < members.size(); ++k) {
        Expr tagged = sym::canonicalize_names(b, members[k], std::to_string(k));
        if (seen.insert(tagged).second) unique.push_back(tagged);
    }
    if (unique.size() < 2) return std::nullopt;
    NativeFold fold(b);
    Expr result = sym::canonicalize_names(b, unique[0], "0");
    for (std::size_t i = 1; i < unique.size(); ++i)
        result = fold(result, sym::canonicalize_names(b, unique[i], std::to_string(i)));
    return result;
}

Expr merge_wildcards(sym::Builder& b, Expr e) { return renumbered(b, merged(b, e, 0)); }

double wildcard_density(Expr e) {
    std::vector<Expr> symbols;
    symbols_in_order(e, symbols);
    const auto wildcards = std::count_if(symbols.begin(), symbols.end(), is_wildcard_node);
    return (double)wildcards / (double)sym::node_count(e);
}

bool is_valid_generalization(Expr e, double max_wildcard_density) {
    return !is_wildcard_node(e) && !(wildcard_density(e) > max_wildcard_density);
}

Expr display_canonical(sym::Builder& b, Expr e) {
    sym::Renaming mapping;
    for (Expr s : distinct_symbols(e)) {
        const std::string& name = *s->name;
        if (name.rfind("__KLTN_", 0) != 0) continue;
        const std::size_t at = name.rfind("_v");
        if (at == std::string::npos) continue;
        const std::string index = name.substr(at + 2);
        if (index.empty() ||
            !std::all_of(index.begin(), index.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        mapping.emplace(s, b.pool().symbol("v" + index));
    }
    return sym::rename(b, e, mapping);
}

Expr normalize_wildcards(sym::Builder& b, Expr e) {
    std::vector<Expr> symbols;
    symbols_in_order(e, symbols);
    std::set<std::string> taken;
    for (Expr s : symbols)
        if (!is_wildcard_node(s)) taken.insert(*s->name);
    sym::Renaming mapping;
    std::size_t counter = 0;
    for (Expr s : symbols) {
        if (!is_wildcard_node(s) || mapping.count(s)) continue;
        while (taken.count(v_named(counter))) ++counter;
        mapping.emplace(s, b.pool().symbol(v_named(counter++)));
    }
    return sym::rename(b, e, mapping);
}

}  // namespace kt
