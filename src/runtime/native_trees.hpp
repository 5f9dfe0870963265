// sympy expressions as native trees and back, and the oracle through which the native rules
// ask sympy what they do not decide themselves (symbolic/oracle.hpp).
#pragma once

#include <unordered_map>

#include "runtime/py.hpp"
#include "symbolic/oracle.hpp"

namespace kt {

// The native tree of a sympy expression, made in `pool`; throws symbolic::Unsupported for an
// expression holding anything a tree cannot (a Symbol with assumptions, a 100-digit Integer,
// Piecewise, ...).
symbolic::Expr from_sympy(symbolic::Pool& pool, handle expr);

// Native trees as sympy expressions, built without evaluation (the tree is sympy's already),
// each node built once. Nodes are known by address: one per pool, living no longer than it.
class SympyTrees {
public:
    object operator()(symbolic::Expr e);
    // Remembers that `e` is `made` (a result read back from sympy), so that it is not built.
    void keep(symbolic::Expr e, handle made) { made_.emplace(e, nb::borrow(made)); }

private:
    std::unordered_map<symbolic::Expr, object> made_;
};

// Asks sympy: builds the arguments as sympy expressions, calls the constructor, reads the
// result back. A Python error of the constructor (an Exception) becomes Unsupported, so that
// the caller takes sympy's own path, which raises it where it belongs. One per pool.
class SympyOracle : public symbolic::Oracle {
public:
    symbolic::Expr construct(symbolic::Pool& pool, symbolic::Op op, symbolic::Fn fn,
                             std::span<const symbolic::Expr> args) override;
    std::string str(symbolic::Expr e) override;
    std::optional<double> number_value(symbolic::Expr e) override;
    std::vector<symbolic::Expr> ordered_terms(symbolic::Pool& pool, symbolic::Expr add) override;
    std::vector<symbolic::Expr> ordered_factors(symbolic::Pool& pool, symbolic::Expr mul) override;

    SympyTrees& trees() { return trees_; }

private:
    SympyTrees trees_;
};

// The sympy class of a native function.
handle function_class(symbolic::Fn fn);

}  // namespace kt
