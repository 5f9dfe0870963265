// The orders printing sorts by, for one task: sympy's sort keys compared without building them
// (sort_key.cpp), the ordered factors of products and the ordered terms of sums (term_order.cpp).
// What a key holds is worked out once per node, and so are the orders of each sum and product.
// A sum whose order the native rules cannot decide is ordered by the oracle, and counted.
#pragma once

#include <compare>
#include <forward_list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "symbolic/build.hpp"
#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt::symbolic {

// The str of an atom (Number, Symbol, pi, E) as printed at the top level.
std::string atom_text(Expr atom);

// _keep_coeff(coeff, factors) for a positive number (keep_coeff.cpp); Unsupported where
// sympy's evaluation of the product might not leave it as it stands.
Expr keep_coeff(Pool& pool, Expr coeff, Expr factors);

class Orders {
public:
    Orders(Pool& pool, Oracle& oracle) : builder_(pool, oracle) {}
    Orders(const Orders&) = delete;
    Orders& operator=(const Orders&) = delete;
    ~Orders();  // adds its fallbacks to the thread's count (order_fallbacks)

    // `a.sort_key()` against `b.sort_key()` as Python compares the tuples: unordered where
    // the first elements that differ are a Float and a Rational of the same value.
    std::partial_ordering compare(Expr a, Expr b);
    bool less(Expr a, Expr b) { return compare(a, b) == std::partial_ordering::less; }

    // `add.as_ordered_terms()` and `mul.as_ordered_factors()` (any other node: itself alone).
    const std::vector<Expr>& terms(Expr add);
    const std::vector<Expr>& factors(Expr mul);

    // Sums ordered by the oracle, and products too long to sort natively.
    long fallbacks() const { return fallbacks_; }

    Pool& pool() { return builder_.pool(); }
    Builder& builder() { return builder_; }

private:
    // What `e.sort_key()` holds: (class key, (length, items), exponent key, coefficient),
    // where the items are an atom's str or the keys of `args`; `exp` is null for a Number,
    // whose key holds () there.
    struct Key {
        int major = 0, minor = 0;
        std::string_view name;
        int length = 0;
        bool textual = false;
        std::string_view text;        // a symbol's name, a literal, or one of texts_
        std::span<const Expr> args;  // a node's arguments, or one of terms_, factors_, singles_
        Expr exp = nullptr;
        Expr coeff = nullptr;
    };

    // Guards the mutual recursion of keys, sums and products against deep trees.
    struct Depth {
        explicit Depth(Orders& o);
        ~Depth() { --orders.depth_; }
        Orders& orders;
    };

    const Key& key(Expr e);
    Key make_key(Expr e);
    void describe(Expr expr, Key& k);
    std::vector<Expr> native_terms(Expr add);  // term_order.cpp; Unsupported where undecided
    std::vector<Expr> native_factors(Expr mul);

    Builder builder_;
    std::unordered_map<Expr, Key> keys_;
    std::unordered_map<Expr, std::vector<Expr>> terms_, factors_;
    std::forward_list<std::string> texts_;  // the str of numbers inside keys
    std::forward_list<Expr> singles_;       // the argument of exp(e) keyed for E**e
    long fallbacks_ = 0;
    int depth_ = 0;
};

}  // namespace kt::symbolic
