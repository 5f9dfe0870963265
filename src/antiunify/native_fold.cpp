#include "antiunify/native_fold.hpp"

#include <cstring>
#include <string>

#include "antiunify/pairs.hpp"
#include "antiunify/predicates.hpp"
#include "symbolic/rename.hpp"

namespace kt {

namespace sym = symbolic;
using sym::Expr;
using sym::Kind;

namespace {

bool symbol_named(Expr e, bool (*rule)(const std::string&)) {
    return e->kind == Kind::Symbol && rule(*e->name);
}

bool v_name(const std::string& name) {
    if (name.size() < 2 || name[0] != 'v') return false;
    for (std::size_t i = 1; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

void too_deep(int depth) {
    if (depth > sym::kMaxDepth) throw sym::Unsupported("a tree too deep to anti-unify natively");
}

bool same_head(Expr a, Expr b) { return std::strcmp(sym::class_name(a), sym::class_name(b)) == 0; }

}  // namespace

bool is_wildcard_node(Expr e) {
    return symbol_named(e, [](const std::string& n) { return n.rfind("\xcf\x86", 0) == 0; });
}

bool is_generalized_node(Expr e) { return symbol_named(e, v_name); }

bool is_source_node(Expr e) {
    return symbol_named(
        e, [](const std::string& n) { return n.rfind("__KLTN_", 0) == 0 || v_name(n); });
}

std::optional<std::vector<Expr>> factors_of(Expr e) {
    if (e->kind == Kind::Pow && e->args[1]->kind == Kind::Integer && e->args[1]->p > 0) {
        if (e->args[1]->p > kMaxPowerFactors) return std::nullopt;
        return std::vector<Expr>((std::size_t)e->args[1]->p, e->args[0]);
    }
    if (e->kind == Kind::Mul) return std::vector<Expr>(e->args.begin(), e->args.end());
    return std::nullopt;
}

bool NativeFold::is_number(Expr e) {
    auto [at, added] = numbers_.try_emplace(e, false);
    if (added) at->second = !sym::has_symbols(e);
    return at->second;
}

double NativeFold::score(Expr a, Expr b, int depth) {
    if (a == b) return pairs::kEqual;
    too_deep(depth);
    const Pair key{a, b};
    auto known = scores_.find(key);
    if (known != scores_.end()) return known->second;
    double result;
    if (is_wildcard_node(a) || is_wildcard_node(b)) {
        result = pairs::kWildcard;
    } else if (is_number(a) && is_number(b)) {
        result = pairs::kNumbers;
    } else if (is_number(a) != is_number(b)) {
        result = pairs::kNumberAndOther;
    } else if (a->kind == Kind::Symbol && b->kind == Kind::Symbol) {
        result = pairs::kSymbols;
    } else if (!same_head(a, b)) {
        result = pairs::kOtherHeads;
    } else if (a->args.size() != b->args.size()) {
        result = pairs::kOtherArity;
    } else {
        result = pairs::kSameShape;
        for (std::size_t k = 0; k < a->args.size(); ++k)
            result += pairs::child_term(score(a->args[k], b->args[k], depth + 1));
    }
    scores_.emplace(key, result);
    return result;
}

Expr NativeFold::fresh_wildcard() {
    return b_.pool().symbol("\xcf\x86" + std::to_string(++counter_));
}

// Sums, and products whose factor lists differ in length: arguments matched greedily by
// positive score, leftovers on either side becoming fresh wildcards.
Expr NativeFold::commutative(Expr a, Expr b, int depth) {
    const pairs::Matches matches =
        pairs::match_commutative((int)a->args.size(), (int)b->args.size(), [&](int i, int j) {
            return score(a->args[i], b->args[j], depth + 1);
        });
    std::vector<Expr> unified;
    for (auto [i, j] : matches.pairs) unified.push_back(unify(a->args[i], b->args[j], depth + 1));
    for (int k = 0; k < matches.unmatched; ++k) unified.push_back(fresh_wildcard());
    return b_.rebuild(a, unified);
}

Expr NativeFold::unify(Expr a, Expr b, int depth) {
    too_deep(depth);
    if (a == b) return a;
    if (is_wildcard_node(a)) return a;
    if (is_wildcard_node(b)) return b;
    if (is_generalized_node(a) && is_source_node(b)) return a;
    if (is_source_node(a) && is_generalized_node(b)) return b;

    const Pair key = unordered(a, b);
    if (auto known = memo_.find(key); known != memo_.end()) return known->second;
    auto remember = [&](Expr result) { return memo_[key] = result; };

    auto xs = factors_of(a), ys = factors_of(b);
    if (xs && ys && xs->size() == ys->size()) {
        std::vector<Expr> unified;
        const auto pairing = pairs::best_pairing(
            (int)xs->size(), [&](int i, int j) { return score((*xs)[i], (*ys)[j], depth + 1); });
        for (auto [i, j] : pairing) unified.push_back(unify((*xs)[i], (*ys)[j], depth + 1));
        return remember(b_.mul(unified));
    }

    const bool head = same_head(a, b);
    if (head && (a->kind == Kind::Add || a->kind == Kind::Mul))
        return remember(commutative(a, b, depth));
    if (head && a->args.size() == b->args.size() && !a->args.empty()) {
        std::vector<Expr> unified;
        for (std::size_t k = 0; k < a->args.size(); ++k)
            unified.push_back(unify(a->args[k], b->args[k], depth + 1));
        // sympy's fold goes on to the rules below when the constructor raises; here the builder
        // throws Unsupported for that as for anything it cannot hold, and the cluster takes the
        // sympy path.
        return remember(b_.rebuild(a, unified));
    }

    if (is_source_node(a) && is_source_node(b)) {
        auto [at, added] = variables_.try_emplace(key, nullptr);
        if (!added) return at->second;
        at->second = b_.pool().symbol("v" + std::to_string(variables_.size() - 1));
        return remember(at->second);
    }
    return remember(fresh_wildcard());
}

}  // namespace kt
