// What the native rules leave to sympy itself. The builder decides the common cases of sympy's
// constructors natively; a case its rules do not cover is one call of sympy's own constructor
// (through this interface, which the runtime layer implements), so that every tree is the one
// sympy would make. Pure C++: the implementation lives where Python is reachable.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "symbolic/node.hpp"

namespace kt::symbolic {

enum class Op { Add, Mul, Pow, Call };

class Oracle {
public:
    virtual ~Oracle() = default;
    // sympy's `Add(*args)`, `Mul(*args)`, `Pow(*args)` or `fn(*args)`, with evaluation, made in
    // `pool`; throws Unsupported where the result holds what a tree cannot.
    virtual Expr construct(Pool& pool, Op op, Fn fn, std::span<const Expr> args) = 0;
    // `float(expr)` of an expression without symbols; nothing where it is complex (TypeError).
    virtual std::optional<double> number_value(Expr e) = 0;
    // `str(expr)`.
    virtual std::string str(Expr e) = 0;
    // `add.as_ordered_terms()` and `mul.as_ordered_factors()`: the orders printing uses.
    virtual std::vector<Expr> ordered_terms(Pool& pool, Expr add) = 0;
    virtual std::vector<Expr> ordered_factors(Pool& pool, Expr mul) = 0;
};

}  // namespace kt::symbolic
