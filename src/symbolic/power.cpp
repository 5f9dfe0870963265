// Pow(b, e) as sympy's Pow.__new__ makes it: x**0, x**1, the sign of a Number base taken out
// of an integer power, then `b._eval_power(e)` by the class of the base (powers of Numbers,
// (x**a)**b, (x*y)**b, E**x = exp(x), Abs(x)**2), else the unevaluated power.
#include <cmath>
#include <numeric>

#include "symbolic/evaluation.hpp"
#include "symbolic/facts.hpp"

namespace kt::symbolic {

namespace {

bool is_rational(Expr e) { return e->kind == Kind::Integer || e->kind == Kind::Rational; }

// Python's floor division and modulo.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Whether a power of a logarithm occurs: only 1/log(b) in the exponent makes b**e = E**(...).
bool holds_log_power(Expr e) {
    if (e->kind == Kind::Pow && e->args[0]->kind == Kind::Function && e->args[0]->fn == Fn::log)
        return true;
    for (Expr a : e->args)
        if (holds_log_power(a)) return true;
    return false;
}

// `base.could_extract_minus_sign()` where Pow.__new__ asks it: a Number, or a product without
// symbols, with a negative Number in front.
bool could_extract_minus_sign(Expr b) {
    if (b->is_Number()) return number_sign(b) < 0;
    if (b->kind == Kind::Mul && !has_symbols(b))
        return b->args[0]->is_Number() && number_sign(b->args[0]) < 0;
    return false;
}

// |e| < bound for a Number e, compared exactly as sympy compares.
bool magnitude_below(Expr e, std::int64_t bound) {
    switch (e->kind) {
        case Kind::Integer:
            return e->p < bound && e->p > -bound;
        case Kind::Rational:
            return (__int128)(e->p < 0 ? -e->p : e->p) < (__int128)bound * e->q;
        default:
            return std::fabs(e->value) < (double)bound;
    }
}

// `_half(e)` of Pow._eval_power: whether the exponent is n/2 with n known to be an integer.
// An atom's denominator is 1; a numerator holding a symbol is never known to be an integer.
bool half(Expr e) {
    if (e->kind == Kind::Rational) return e->q == 2;
    if (e->is_atom() || has_symbols(e)) return false;
    throw Undecided{"the denominator of a constant exponent"};
}

// p**n (n >= 0) exactly, or Undecided past 64 bits.
__int128 exact_power(std::int64_t p, std::int64_t n) {
    if (p == 0 || p == 1) return n == 0 ? 1 : p;  // no loop for 1**(10**18)
    if (p == -1) return n % 2 ? -1 : 1;
    __int128 r = 1;
    for (std::int64_t k = 0; k < n; ++k) {
        r *= p;
        if (r > INT64_MAX || r < -INT64_MAX) throw Undecided{"an integer power beyond 64 bits"};
    }
    return r;
}

}  // namespace

Expr Evaluation::pow(Expr b, Expr e) {
    Depth depth(*this);
    if (e->is_integer_value(0)) return one();
    if (e->is_integer_value(1)) return b;
    if (e->is_integer_value(-1) && b->is_Number() && number_sign(b) == 0)
        throw Undecided{"a division by zero"};
    if (e->kind == Kind::Integer && could_extract_minus_sign(b)) {
        if (e->p % 2 == 0)
            b = neg(b);
        else
            return neg(pow(neg(b), e));
    }
    // 1**e is 1 unless abs(e) is provably infinite, which no tree is.
    if (b->is_integer_value(1)) return one();
    // Pow.__new__ recognises E in b**(c/log(b)): the denominator of the exponent (negative
    // powers only, factor_terms makes no new ones) must be log(b).
    if (!e->is_atom() && b->kind != Kind::Exp1 && holds_log_power(e))
        throw Undecided{"an exponent dividing by a logarithm"};
    if (Expr r = eval_power(b, e)) return r;
    return raw_pow(b, e);
}

Expr Evaluation::eval_power(Expr b, Expr e) {
    switch (b->kind) {
        case Kind::Integer:
            return integer_power(b, e);
        case Kind::Rational:
            return rational_power(b, e);
        case Kind::Float:
            return float_power(b, e);
        case Kind::Exp1:
            return builder_.call(Fn::exp, e);
        case Kind::Mul:
            return power_of_product(b, e);
        case Kind::Pow: {
            auto [bb, be] = as_base_exp(b);
            return power_of_power(bb, be, e);
        }
        case Kind::Function:
            if (b->fn == Fn::exp) return power_of_power(pool_.e(), b->args[0], e);
            if (b->fn == Fn::Abs) return abs_power(b, e);
            return nullptr;
        default:  // pi, symbols and sums have no rule of their own
            return nullptr;
    }
}

// Zero, NegativeOne and Integer._eval_power.
Expr Evaluation::integer_power(Expr b, Expr e) {
    const std::int64_t p = b->p;
    if (p == 0) {
        if (is_true(ask(e, Fact::extended_positive))) return b;
        if (is_true(ask(e, Fact::extended_negative))) throw Undecided{"a division by zero"};
        if (ask(e, Fact::extended_real) == Truth::False) throw Undecided{"an undefined power"};
        if (provably_zero(e)) return one();
        auto [c, t] = as_coeff_mul(e);
        if (number_sign(c) < 0) throw Undecided{"a division by zero"};
        if (!c->is_integer_value(1)) return pow(b, t);
        return nullptr;
    }
    if (p == -1) {
        if (is_true(ask(e, Fact::odd))) return b;
        if (is_true(ask(e, Fact::even))) return one();
        if (e->kind == Kind::Float) return pow(pool_.real(-1.0), e);
        if (e->kind == Kind::Rational) {
            if (e->q == 2) throw Undecided{"an imaginary unit"};
            const std::int64_t i = floor_div(e->p, e->q);
            if (i)
                return times(pow(b, pool_.integer(i)),
                             pow(b, pool_.rational(e->p - i * e->q, e->q)));
        }
        return nullptr;
    }
    if (!e->is_Number()) {
        if (p < 0 && is_true(ask(e, Fact::even))) return pow(neg(b), e);
        return nullptr;
    }
    if (e->kind == Kind::Float) return pow(make_float(pool_, rational_to_double(b)), e);
    if (e->kind == Kind::Rational && e->p == 1 && e->q == 2 && p < 0)
        throw Undecided{"an imaginary unit"};
    if (number_sign(e) < 0) {
        const Expr ne = neg(e);
        if (p < 0)
            return times(pow(minus_one(), e), pow(make_rational(pool_, 1, -(__int128)p), ne));
        return pow(make_rational(pool_, 1, p), ne);
    }
    const std::int64_t magnitude = p < 0 ? -p : p;
    std::int64_t root = 0;
    if (exact_root(magnitude, e->q, root)) {
        Expr result = make_integer(pool_, exact_power(root, e->p));
        if (p < 0) result = times(result, pow(minus_one(), e));
        return result;
    }
    return radical(b, e);
}

// The rest of Integer._eval_power for b**(p/q), b not a perfect q-th power: the factors of b
// (a perfect power r**k as {r: k}) give up the whole powers of their exponents and the common
// part of the rest: sqrt(12) -> 2*sqrt(3), 36**(1/3) -> 6**(2/3); None when nothing comes out.
Expr Evaluation::radical(Expr b, Expr e) {
    const std::int64_t magnitude = b->p < 0 ? -b->p : b->p;
    auto factors = prime_factors(magnitude);
    std::int64_t g = 0;
    for (auto [prime, k] : factors) g = std::gcd(g, k);
    if (g > 1) {  // a perfect power r**g
        __int128 r = 1;
        for (auto [prime, k] : factors) r *= exact_power(prime, k / g);
        factors = {{(std::int64_t)r, g}};
    }

    __int128 out_int = 1;
    Expr out_rad = one();
    std::vector<std::pair<std::int64_t, std::int64_t>> rest;  // prime -> remaining exponent
    for (auto [prime, k] : factors) {
        const __int128 exponent = (__int128)k * e->p;
        const std::int64_t div_e = (std::int64_t)(exponent / e->q);
        const std::int64_t div_m = (std::int64_t)(exponent % e->q);
        if (div_e > 0) out_int *= exact_power(prime, div_e);
        if (out_int > INT64_MAX) throw Undecided{"an integer power beyond 64 bits"};
        if (div_m > 0) {
            const std::int64_t gm = std::gcd(div_m, e->q);
            if (gm != 1)
                out_rad = times(out_rad,
                                pow(pool_.integer(prime), pool_.rational(div_m / gm, e->q / gm)));
            else
                rest.emplace_back(prime, div_m);
        }
    }
    std::int64_t common = 0;
    for (auto [prime, m] : rest) {
        common = std::gcd(common, m);
        if (common == 1) break;
    }
    __int128 sqr_int = 1;
    for (auto [prime, m] : rest) sqr_int *= exact_power(prime, m / common);
    if (sqr_int == magnitude && out_int == 1 && out_rad->is_integer_value(1)) return nullptr;
    // out_int*out_rad*Pow(sqr_int, Rational(common, q)), Python's ints first
    Expr result = out_rad->is_integer_value(1) ? make_integer(pool_, out_int)
                                               : times(make_integer(pool_, out_int), out_rad);
    result = times(result, pow(make_integer(pool_, sqr_int), pool_.rational(common, e->q)));
    if (b->p < 0) result = times(result, pow(minus_one(), e));
    return result;
}

// Rational._eval_power (q > 1).
Expr Evaluation::rational_power(Expr b, Expr e) {
    if (e->is_Number()) {
        if (e->kind == Kind::Float) return pow(make_float(pool_, rational_to_double(b)), e);
        if (number_sign(e) < 0) {
            const Expr ne = neg(e);
            if (ne->is_integer_value(1)) return make_rational(pool_, b->q, b->p);
            if (b->p < 0)
                return times(pow(minus_one(), e),
                             pow(make_rational(pool_, b->q, -(__int128)b->p), ne));
            return pow(make_rational(pool_, b->q, b->p), ne);
        }
        if (e->kind == Kind::Integer)
            return make_rational(pool_, exact_power(b->p, e->p), exact_power(b->q, e->p));
        // p**e * q**(k - e) / q**k for the least integer k above e.
        const std::int64_t k = e->p / e->q + 1;
        const Expr frac = make_rational(pool_, (__int128)k * e->q - e->p, e->q);
        const Expr tail = make_rational(pool_, 1, exact_power(b->q, k));
        const Expr q_part = pow(pool_.integer(b->q), frac);
        if (b->p != 1) return times(times(pow(pool_.integer(b->p), e), q_part), tail);
        return times(q_part, tail);
    }
    if (b->p < 0 && is_true(ask(e, Fact::even))) return pow(neg(b), e);
    return nullptr;
}

// Float._eval_power: mpmath's power of the Float, rounded to 53 bits.
Expr Evaluation::float_power(Expr b, Expr e) {
    const double v = b->value;
    if (v == 0.0) {
        if (is_true(ask(e, Fact::extended_positive))) return b;
        if (is_true(ask(e, Fact::extended_negative))) throw Undecided{"a division by zero"};
    }
    if (!e->is_Number()) return nullptr;
    if (e->kind == Kind::Integer) {
        if (std::fabs(v) == 1.0) return pool_.real(v < 0 && (e->p & 1) ? -1.0 : 1.0);
        if (e->p > 4096 || e->p < -4096) throw Undecided{"a Float beyond the range of doubles"};
        return make_float(pool_, float_pow_int(v, e->p));
    }
    if (e->kind == Kind::Rational && e->p == 1 && e->q % 2 && v < 0)
        throw Undecided{"an odd root of a negative Float"};
    const double t = e->kind == Kind::Float ? e->value : rational_to_double(e);
    if (v < 0 && t != std::trunc(t)) throw Undecided{"a complex power of a Float"};
    if (t == std::trunc(t) && std::fabs(v) != 1.0 && std::fabs(t) > 4096)
        throw Undecided{"a Float beyond the range of doubles"};
    return make_float(pool_, float_pow(v, t));
}

// Pow._eval_power of (b**e)**expt: the exponents multiply where the branch of the power
// allows it (an integer outer exponent, |e| < 1, a nonnegative base).
Expr Evaluation::power_of_power(Expr b, Expr e, Expr expt) {
    if (is_true(ask(expt, Fact::integer)) || is_true(ask(b, Fact::polar)))
        return pow(b, times(e, expt));
    const Truth real = ask(e, Fact::extended_real);
    if (real == Truth::None) return nullptr;
    if (real == Truth::False) throw Undecided{"a power with a complex exponent"};
    if (!e->is_Number()) throw Undecided{"a power with a symbolic real exponent"};
    // Whether expt has 2 as its denominator matters only where the base may be negative or
    // off the positive axis in a known way, which a plain symbol never is.
    const bool symbol = b->kind == Kind::Symbol;
    if (e->is_integer_value(-1)) {
        if (!symbol && half(expt)) {
            const Truth negative = ask(b, Fact::negative);
            if (negative == Truth::True)
                return times(pow(minus_one(), expt), pow(neg(b), times(e, expt)));
            if (negative == Truth::False) return pow(b, neg(expt));
        }
    } else if (is_true(ask(e, Fact::even))) {
        if (is_true(ask(b, Fact::extended_real)) && !is_true(ask(b, Fact::extended_nonnegative)))
            throw Undecided{"the absolute value of a real base"};
        if (is_true(ask(b, Fact::imaginary))) throw Undecided{"an imaginary base"};
    }
    bool same_branch = magnitude_below(e, 1) || e->is_integer_value(1) ||
                       is_true(ask(b, Fact::extended_nonnegative));
    if (!same_branch && magnitude_below(e, 2) && is_true(real_part_nonnegative(b)))
        same_branch = true;
    if (!same_branch) {
        // For a symbol the branch factor exp(2*pi*I*expt*floor(...)) is never known to be
        // real, so the power stays.
        if (!symbol && half(expt)) throw Undecided{"the branch of a half power"};
        return nullptr;
    }
    return pow(b, times(e, expt));
}

// Mul._eval_power: an integer power of each factor; a rational or Float power splits off the
// factors known nonnegative (expand_power_base).
Expr Evaluation::power_of_product(Expr b, Expr e) {
    if (e->kind == Kind::Integer) {
        std::vector<Expr> parts;
        for (Expr f : b->args) parts.push_back(raw_pow(f, e));
        return times(mul(std::move(parts)), raw_pow(one(), e));
    }
    // Mul._eval_power also looks at a half power of an imaginary product, but only returns
    // when its imaginary part is a Rational, that is, when the product holds I, which no tree
    // does.
    if (e->kind == Kind::Rational || e->kind == Kind::Float) return expand_power_base(b, e);
    return raw_pow(b, e);
}

Expr Evaluation::expand_power_base(Expr b, Expr e) {
    std::vector<Expr> other, nonneg, negative;
    std::vector<Expr> maybe_real;
    for (Expr f : b->args) {
        if (ask(f, Fact::extended_real) == Truth::False)
            other.push_back(f);
        else
            maybe_real.push_back(f);
    }
    std::vector<Expr> unknown;
    for (Expr f : maybe_real) {
        const Truth polar = ask(f, Fact::polar);
        Truth side = Truth::None;
        if (polar == Truth::True)
            side = Truth::True;
        else if (polar == Truth::None)
            side = ask(f, Fact::extended_nonnegative);
        if (side == Truth::True)
            nonneg.push_back(f);
        else if (side == Truth::False)
            negative.push_back(f);
        else
            unknown.push_back(f);
    }
    other.insert(other.end(), unknown.begin(), unknown.end());

    std::vector<Expr> cargs;
    if (is_true(ask(e, Fact::integer))) {
        // An integral exponent (only Float(0.0) gets here) applies to every factor.
        cargs = nonneg;
        cargs.insert(cargs.end(), negative.begin(), negative.end());
        cargs.insert(cargs.end(), other.begin(), other.end());
        other.clear();
    } else {
        // The negative factors become positive; the leftover -1 stays under the power.
        if (negative.size() > 1) {
            Expr o = one();
            if (other.empty() && negative[0]->is_Number()) {
                o = times(o, negative[0]);
                negative.erase(negative.begin());
            }
            if (negative.size() % 2) o = neg(o);
            for (Expr n : negative) nonneg.push_back(neg(n));
            if (!o->is_integer_value(1)) other.push_back(o);
        } else if (!negative.empty() && !other.empty() && negative[0]->is_Number() &&
                   !negative[0]->is_integer_value(-1)) {
            other.push_back(minus_one());
            nonneg.push_back(neg(negative[0]));
        } else {
            other.insert(other.end(), negative.begin(), negative.end());
        }
        cargs = nonneg;
    }

    Expr rv = one();
    if (!cargs.empty()) {
        if (e->kind == Kind::Rational) {
            std::vector<Expr> npow, rest;
            for (Expr c : cargs) {
                if (c->kind == Kind::Pow && is_rational(c->args[1]) && !has_symbols(c->args[0]))
                    npow.push_back(c);
                else
                    rest.push_back(c);
            }
            std::vector<Expr> powers;
            for (Expr c : npow) powers.push_back(pow(pow(c->args[0], c->args[1]), e));
            rv = mul(std::move(powers));
            cargs = std::move(rest);
        }
        std::vector<Expr> raws;
        for (Expr c : cargs) raws.push_back(raw_pow(c, e));
        rv = times(rv, mul(std::move(raws)));
    }
    if (!other.empty()) rv = times(rv, raw_pow(mul(std::move(other)), e));
    return rv;
}

// Abs._eval_power: |a|**n of a real a is a**n for even n, a**(n-1)*|a| for odd n.
Expr Evaluation::abs_power(Expr b, Expr e) {
    const Expr a = b->args[0];
    if (!is_true(ask(a, Fact::extended_real)) || !is_true(ask(e, Fact::integer))) return nullptr;
    if (is_true(ask(e, Fact::even))) return pow(a, e);
    if (!e->is_integer_value(-1) && e->kind == Kind::Integer)
        return times(pow(a, make_integer(pool_, (__int128)e->p - 1)), b);
    return nullptr;
}

}  // namespace kt::symbolic
