// sympy's constructors with their evaluation, natively: `Add(*args)`, `Mul(*args)`,
// `Pow(b, e)`, `fn(arg)` and Python's operators on expressions, each giving the tree sympy
// gives. A case the native rules do not decide is handed to the oracle whole, and counted.
#pragma once

#include <map>
#include <span>
#include <string>

#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt::symbolic {

class Builder {
public:
    Builder(Pool& pool, Oracle& oracle) : pool_(pool), oracle_(oracle) {}

    Pool& pool() { return pool_; }
    Oracle& oracle() { return oracle_; }

    // The constructors, evaluated.
    Expr add(std::span<const Expr> args);
    Expr mul(std::span<const Expr> args);
    Expr pow(Expr base, Expr exp);
    Expr call(Fn fn, Expr arg);  // functions.cpp
    // `like.func(*args)`: a compound of `like`'s own kind, evaluated, with other arguments.
    Expr rebuild(Expr like, std::span<const Expr> args);

    // Python's operators on expressions: `a + b`, `a - b`, `a * b`, `-a`; and `sqrt(a)`.
    Expr plus(Expr a, Expr b);
    Expr minus(Expr a, Expr b);
    Expr times(Expr a, Expr b);
    Expr negate(Expr a);
    Expr sqrt(Expr a);

    // How many constructions the oracle made, and why the native rules left them to it.
    long delegated() const { return delegated_; }
    const std::map<std::string, long>& delegations() const { return reasons_; }

    // A construction handed to the oracle, counted.
    Expr ask(Op op, Fn fn, std::span<const Expr> args);

private:
    Expr ask(Op op, std::span<const Expr> args, const char* why);

    Pool& pool_;
    Oracle& oracle_;
    long delegated_ = 0;
    std::map<std::string, long> reasons_;
};

}  // namespace kt::symbolic
