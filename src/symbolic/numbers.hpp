// sympy's arithmetic on its Numbers (Integer, Rational, Float of 53 bits), natively. Integers
// and rationals are exact; a result past 64 bits is not computed but left to sympy. Floats are
// mpmath numbers rounded to nearest, ties to even, with an unbounded exponent: their sums,
// products, quotients and square roots are IEEE double operations as long as every value stays
// a normal double, which each operation checks. Powers that mpmath rounds twice (x**-2, x**3)
// are rounded here exactly as it does, on wide integers.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "symbolic/node.hpp"

namespace kt::symbolic {

// A step of a native construction that cannot guarantee sympy's outcome (an overflow, a case
// the native rules do not cover): the builder hands the whole construction to the oracle.
// `why` names the case, so that delegations can be counted by cause.
struct Undecided {
    const char* why;
};

// The integer p (Integer, Zero, One, NegativeOne) or Undecided past 64 bits.
Expr make_integer(Pool& pool, __int128 p);
// p/q in lowest terms (q != 0), or Undecided past 64 bits.
Expr make_rational(Pool& pool, __int128 p, __int128 q);
// A Float as mpmath's result makes it: zero is sympy's Integer zero (Float._new), a value out
// of the range of normal doubles Undecided (mpmath would hold it, a double cannot).
Expr make_float(Pool& pool, double v);

// `a + b`, `a * b`, `-a` on Number nodes (Integer, Rational, Float), as sympy's operators.
Expr number_add(Pool& pool, Expr a, Expr b);
Expr number_mul(Pool& pool, Expr a, Expr b);
Expr number_neg(Pool& pool, Expr a);
// -1, 0 or 1: the sign of a Number.
int number_sign(Expr a);
// A Rational or Integer as mpmath rounds it to 53 bits (`_as_mpf_val(53)`).
double rational_to_double(Expr r);

// mpmath's `mpf_pow_int(x, n, 53, round_nearest)` for a nonzero double x.
double float_pow_int(double x, std::int64_t n);
// mpmath's `mpf_pow(x, t, 53, round_nearest)` for x > 0 where t is an integer or 1/2, the cases
// it computes exactly rounded; other exponents are Undecided.
double float_pow(double x, double t);

// The integer n-th root of v >= 0 when v is a perfect n-th power.
bool exact_root(std::int64_t v, std::int64_t n, std::int64_t& root);
// The prime factors of 1 < v < 2**30 with their multiplicities, ascending (Undecided beyond:
// sympy factors only by trial division up to 2**15, which is complete below 2**30).
std::vector<std::pair<std::int64_t, std::int64_t>> prime_factors(std::int64_t v);

}  // namespace kt::symbolic
