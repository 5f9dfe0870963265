// Anti-unification on native trees: the fold of anti_unify.hpp with its private memo, step for
// step, so that its generalisation is the sympy fold's expression. Every construction goes
// through the builder (sympy's constructors, evaluated). Pure C++: anything the builder cannot
// decide or hold throws symbolic::Unsupported, and the caller takes the sympy path.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "symbolic/build.hpp"

namespace kt {

// The names anti-unification gives meaning to: wildcards φ..., source variables __KLTN_...
// and generalised variables v<digits>.
bool is_wildcard_node(symbolic::Expr e);
bool is_generalized_node(symbolic::Expr e);
bool is_source_node(symbolic::Expr e);

class NativeFold {
public:
    explicit NativeFold(symbolic::Builder& builder) : b_(builder) {}

    // `anti_unify(a, b)` with this fold's wildcard counter and memos.
    symbolic::Expr operator()(symbolic::Expr a, symbolic::Expr b) { return unify(a, b, 0); }
    // The structural score of two trees (`_structural_score`).
    double score(symbolic::Expr a, symbolic::Expr b) { return score(a, b, 0); }

private:
    struct Pair {
        symbolic::Expr a, b;
        bool operator==(const Pair&) const = default;
    };
    struct PairHash {
        std::size_t operator()(const Pair& p) const {
            return std::hash<const void*>()(p.a) * 31 + std::hash<const void*>()(p.b);
        }
    };
    // The memos hold one entry per unordered pair.
    static Pair unordered(symbolic::Expr a, symbolic::Expr b) {
        return std::less<symbolic::Expr>()(a, b) ? Pair{a, b} : Pair{b, a};
    }

    symbolic::Expr unify(symbolic::Expr a, symbolic::Expr b, int depth);
    symbolic::Expr commutative(symbolic::Expr a, symbolic::Expr b, int depth);
    symbolic::Expr fresh_wildcard();
    double score(symbolic::Expr a, symbolic::Expr b, int depth);
    bool is_number(symbolic::Expr e);

    symbolic::Builder& b_;
    long long counter_ = 0;
    std::unordered_map<Pair, symbolic::Expr, PairHash> memo_, variables_;
    std::unordered_map<Pair, double, PairHash> scores_;
    std::unordered_map<symbolic::Expr, bool> numbers_;
};

// The factors `multiplicative_args` lists: a product's arguments, or the base of a positive
// integer power up to x**32 repeated; nothing otherwise.
std::optional<std::vector<symbolic::Expr>> factors_of(symbolic::Expr e);

}  // namespace kt
