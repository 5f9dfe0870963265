// Structural matching of a pattern tree against a target tree: the pattern's variables map one
// to one onto the target's variables, its wildcards onto sub-expressions of the target, and the
// arguments of sums and products match in any order. A wildcard among the arguments of a sum
// (product) may stand for several of the target's arguments, or for none (0, or 1).
#pragma once

#include <vector>

#include "matching/expr_tree.hpp"

namespace kt {

class Matcher {
public:
    // `budget` bounds the steps of the search: a match that needs more is reported as none
    // (`exhausted()` tells), so that no pair of expressions can make matching hang.
    Matcher(const ExprTree& pattern, const ExprTree& target, long budget = 20000);

    // Strict: a wildcard stands for exactly one sub-expression of the target (no joined
    // arguments, no 0 or 1 for a missing one).
    void set_strict(bool strict) { strict_ = strict; }
    // With strict: a wildcard may still stand for nothing, the identity of the operation it is an
    // argument of (1 in a product, 0 in a sum).
    void set_identity(bool identity) { identity_ = identity; }
    // Wildcards (by symbol index) that may only stand for numbers.
    void set_numeric_only(std::vector<bool> numeric) { numeric_only_ = std::move(numeric); }

    bool match();  // the whole trees
    // Two lists of nodes taken as the arguments of one sum (`sum`) or product.
    bool match_bags(const std::vector<int>& pattern_nodes, const std::vector<int>& target_nodes,
                    bool sum);

    bool exhausted() const { return budget_ < 0; }

    // What a wildcard stands for: one target node, several (joined by the sum or product
    // `op_label`), or the identity of that operation (none).
    struct Binding {
        std::vector<int> nodes;
        int op_label = -1;
        bool bound = false;
    };
    // After a successful match: pattern variable -> target variable, and the wildcard bindings.
    const std::vector<int>& variables() const { return var_to_; }
    const std::vector<Binding>& wildcards() const { return wild_to_; }

private:
    class Next;
    bool node(int p, int t, const Next& k);
    bool sequence(const int* ps, const int* ts, int n, const Next& k);
    bool bag(std::vector<int> ps, std::vector<int> ts, int op_label, const Next& k);
    bool unbound_wildcard(int p) const;
    bool identity_fallback(int p, int t, const Next& k);

    const ExprTree& P;
    const ExprTree& T;
    long budget_;
    bool strict_ = false;
    bool identity_ = false;
    std::vector<bool> numeric_only_;
    std::vector<int> var_to_, var_from_;
    std::vector<Binding> wild_to_;
};

}  // namespace kt
