// One construction decided natively: sympy's `Add(*args)` (add.cpp), `Mul(*args)` (mul.cpp)
// and `Pow(b, e)` (power.cpp) with their evaluation, and the nested constructions they make,
// each following sympy 1.14's own steps in its own order (Float rounding depends on it). A step
// the native rules cannot guarantee throws Undecided, and the builder hands the whole
// construction to the oracle instead.
#pragma once

#include <utility>
#include <vector>

#include "symbolic/build.hpp"
#include "symbolic/numbers.hpp"

namespace kt::symbolic {

class Evaluation {
public:
    explicit Evaluation(Builder& builder)
        : builder_(builder), pool_(builder.pool()), one_(pool_.integer(1)), zero_(pool_.integer(0)),
          minus_one_(pool_.integer(-1)) {}

    Expr add(std::vector<Expr> args);  // Add(*args)
    Expr mul(std::vector<Expr> args);  // Mul(*args)
    Expr pow(Expr base, Expr exp);     // Pow(base, exp)

    // Python's operators as sympy's classes define them: Numbers combine directly, anything
    // else is the constructor of two arguments; `-a` as each class negates.
    Expr plus(Expr a, Expr b);
    Expr times(Expr a, Expr b);
    Expr neg(Expr a);

private:
    // Bounds the nesting of constructions (a deep tree is left to sympy).
    struct Depth {
        explicit Depth(Evaluation& ev);
        ~Depth() { --ev.depth_; }
        Evaluation& ev;
    };

    // sympy's helpers: `as_coeff_Mul()` (the Number factor in front and the rest) and
    // `as_base_exp()` (a Pow's base and exponent, exp(x) as (E, x), 1/q**e as (q, -e)).
    std::pair<Expr, Expr> as_coeff_mul(Expr e);
    std::pair<Expr, Expr> as_base_exp(Expr e);
    Expr raw(Kind kind, std::vector<Expr> args);  // `_from_args`: none is 1 or 0, one is itself
    Expr raw_pow(Expr base, Expr exp);            // Pow(base, exp, evaluate=False)
    Expr one() const { return one_; }
    Expr zero() const { return zero_; }
    Expr minus_one() const { return minus_one_; }

    // Mul's pieces.
    std::vector<Expr> flatten_mul(std::vector<Expr> seq);
    Expr keep_coeff(Expr coeff, Expr factors);

    // Pow's pieces: `base._eval_power(exp)` by the class of the base, nullptr for None.
    Expr eval_power(Expr base, Expr exp);
    Expr integer_power(Expr base, Expr exp);
    Expr radical(Expr base, Expr exp);
    Expr rational_power(Expr base, Expr exp);
    Expr float_power(Expr base, Expr exp);
    Expr power_of_power(Expr base, Expr inner, Expr exp);
    Expr power_of_product(Expr base, Expr exp);
    Expr expand_power_base(Expr base, Expr exp);
    Expr abs_power(Expr base, Expr exp);

    Builder& builder_;
    Pool& pool_;
    const Expr one_, zero_, minus_one_;  // looked up once: each lookup is a probe of the pool
    int depth_ = 0;
};

}  // namespace kt::symbolic
