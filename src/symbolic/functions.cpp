// The elementary functions applied to an argument, as their classes evaluate them.
#include "symbolic/functions.hpp"

#include <cmath>
#include <vector>

#include "symbolic/order.hpp"

namespace kt::symbolic {

namespace {

bool is_function(Expr e, Fn fn) { return e->kind == Kind::Function && e->fn == fn; }

bool negative_number(Expr e) {
    return e->kind == Kind::Float ? e->value < 0 : e->is_rational() && e->p < 0;
}

bool has_kind(Expr e, Kind kind) {
    if (e->kind == kind) return true;
    for (Expr a : e->args)
        if (has_kind(a, kind)) return true;
    return false;
}

bool has_function(Expr e, Fn fn) {
    if (is_function(e, fn)) return true;
    for (Expr a : e->args)
        if (has_function(a, fn)) return true;
    return false;
}

// The factors of a product after its numeric coefficient (`as_coeff_Mul`'s second part, as
// `Mul.make_args` splits it).
std::span<const Expr> factors_after_coefficient(Expr mul) {
    return mul->args[0]->is_Number() ? mul->args.subspan(1) : mul->args;
}

// pi as a factor of a product or of a term of a sum: where `_pi_coeff` and `_peeloff_pi` of
// sin, cos and tan find a multiple of pi (`coeff(pi)` is nonzero only for pi itself a factor).
bool pi_factor(Expr e) {
    if (e->kind == Kind::Pi) return true;
    if (e->kind != Kind::Mul) return false;
    for (Expr f : e->args)
        if (f->kind == Kind::Pi) return true;
    return false;
}

enum class Parity { Odd, Even, None };

Parity parity(Fn fn) {
    switch (fn) {
        case Fn::sin:
        case Fn::tan:
        case Fn::asin:
        case Fn::atan:
        case Fn::sinh:
        case Fn::tanh:
        case Fn::asinh:
        case Fn::atanh:
            return Parity::Odd;
        case Fn::cos:
        case Fn::cosh:
            return Parity::Even;
        default:
            return Parity::None;
    }
}

// The inverse a function undoes (sin(asin(x)) is x); the other compositions sympy rewrites
// (sin(acos(x)) is sqrt(1 - x**2), ...) are left to it.
struct Undoes {
    Fn fn, inverse;
};
constexpr Undoes kUndoes[] = {{Fn::sin, Fn::asin},   {Fn::cos, Fn::acos},   {Fn::tan, Fn::atan},
                              {Fn::sinh, Fn::asinh}, {Fn::cosh, Fn::acosh}, {Fn::tanh, Fn::atanh}};

// The inverse functions a function rewrites otherwise, when they are its argument.
bool rewrites(Fn fn, Expr arg) {
    if (arg->kind != Kind::Function) return false;
    switch (fn) {
        case Fn::sin:
        case Fn::cos:
        case Fn::tan:
            return arg->fn == Fn::asin || arg->fn == Fn::acos || arg->fn == Fn::atan;
        case Fn::sinh:
        case Fn::cosh:
        case Fn::tanh:
            return arg->fn == Fn::asinh || arg->fn == Fn::acosh || arg->fn == Fn::atanh;
        default:
            return false;
    }
}

// ---- numbers --------------------------------------------------------------------------------

// |v| of a rational is 1 or 1/2: values the inverse functions' tables know (asin(1/2) is pi/6,
// atanh(1) is oo, acosh(1/2) is I*pi/3, ...).
bool unit_or_half(Expr e) { return (e->p == 1 || e->p == -1) && (e->q == 1 || e->q == 2); }

bool special_value(Fn fn, Expr e) {
    const bool unit = (e->p == 1 || e->p == -1) && e->q == 1;
    switch (fn) {
        case Fn::asin:
        case Fn::acos:
        case Fn::acosh:
            return unit_or_half(e);
        case Fn::atan:
        case Fn::asinh:
        case Fn::atanh:
            return unit;
        default:
            return false;
    }
}

// fn of an Integer or Rational: the classes fold 0 (and exp(1), log(1), log(1/q)), take the
// sign out of odd and even functions, and leave the rest unevaluated; Abs of any number and of
// pi and E. Floats (evaluated by mpmath) and other numeric arguments go to sympy.
std::optional<Expr> numeric(Builder& b, Fn fn, Expr arg) {
    Pool& pool = b.pool();
    if (fn == Fn::Abs) {
        switch (arg->kind) {
            case Kind::Integer:
                return pool.integer(arg->p < 0 ? -arg->p : arg->p);
            case Kind::Rational:
                return pool.rational(arg->p < 0 ? -arg->p : arg->p, arg->q);
            case Kind::Float:  // Abs(0.0) is the Integer 0: the argument is zero
                return arg->value == 0 ? pool.integer(0) : pool.real(std::fabs(arg->value));
            case Kind::Pi:
            case Kind::Exp1:
                return arg;
            default:
                return std::nullopt;
        }
    }
    if (!arg->is_rational()) return std::nullopt;
    const bool zero = arg->p == 0;
    const bool one = arg->p == 1 && arg->q == 1;
    if (special_value(fn, arg)) return std::nullopt;
    switch (fn) {
        case Fn::exp:
            if (zero) return pool.integer(1);
            if (one) return pool.e();
            break;
        case Fn::log:
            if (one) return pool.integer(0);
            if (arg->p <= 0) return std::nullopt;  // zoo, and I*pi + log(-arg)
            if (arg->p == 1) return b.negate(b.call(Fn::log, pool.integer(arg->q)));
            break;
        case Fn::acos:
        case Fn::acosh:
            if (zero) return std::nullopt;  // pi/2, I*pi/2
            break;
        default:
            if (zero) return pool.integer(parity(fn) == Parity::Even ? 1 : 0);
            if (arg->p < 0) {
                const Expr positive = b.call(fn, b.negate(arg));
                return parity(fn) == Parity::Odd ? b.negate(positive) : positive;
            }
            break;
    }
    return pool.function(fn, arg);
}

// ---- exp --------------------------------------------------------------------------------------

// A factor `logcombine` could make a log of: a log, or a sum holding one.
bool log_like(Expr f) {
    return is_function(f, Fn::log) || (f->kind == Kind::Add && has_function(f, Fn::log));
}

// exp of a product: `exp(c*log(x))` is x**c when every other factor is a comparable number;
// the loop over the factors gives up (unevaluated) at the first factor that is neither.
// Nothing where it would reach a log.
std::optional<bool> exp_of_product_unevaluated(Expr mul) {
    for (Expr f : factors_after_coefficient(mul)) {
        if (log_like(f)) return std::nullopt;
        if (has_symbols(f)) return true;
    }
    return true;
}

// Whether `exp(term)` is exp of the term itself, as exp of a sum asks of each term.
std::optional<bool> exp_keeps(Expr term) {
    if (term->is_rational()) return true;  // 0 and 1 are not terms exp of a sum evaluates
    if (!has_symbols(term) || is_function(term, Fn::log)) return std::nullopt;
    if (term->kind == Kind::Mul) return exp_of_product_unevaluated(term);
    return true;
}

std::optional<Expr> exp_of(Builder& b, Expr arg) {
    if (is_function(arg, Fn::log)) return arg->args[0];
    if (arg->kind == Kind::Mul) {
        auto kept = exp_of_product_unevaluated(arg);
        if (!kept) return std::nullopt;
    } else if (arg->kind == Kind::Add) {
        // Terms that exp changes (exp(log(y) + x) is y*exp(x)) are pulled out.
        for (Expr term : arg->args) {
            if (term->is_integer_value(1)) continue;
            auto kept = exp_keeps(term);
            if (!kept) return std::nullopt;
        }
    }
    return b.pool().function(Fn::exp, arg);
}

// ---- Abs ------------------------------------------------------------------------------------

// A product or power of plain symbols and functions of them (no sum anywhere, no Abs): an
// expression sympy's assumptions know nothing of (not real, not positive, not zero).
bool generic(Expr e) {
    switch (e->kind) {
        case Kind::Symbol:
            return true;
        case Kind::Pow:
            return e->args[1]->is_rational() && generic(e->args[0]);
        case Kind::Mul: {
            bool symbolic = false;
            for (Expr f : e->args) {
                if (f->is_number()) continue;  // a nonzero number, pi or E
                if (!generic(f)) return false;
                symbolic = true;
            }
            return symbolic;
        }
        case Kind::Function:
            return e->fn != Fn::Abs && generic(e->args[0]);
        default:
            return false;
    }
}

// A factor whose `as_numer_denom` is (itself, 1), or (1, b**-e) for b**e with e < 0: a number,
// a symbol, a function other than exp (exp(-y) is 1/exp(y)), or a rational power of a symbol or
// of such a function.
bool plain_factor(Expr f) {
    if (f->is_number() || f->kind == Kind::Symbol) return true;
    if (f->kind == Kind::Function) return f->fn != Fn::exp;
    if (f->kind == Kind::Pow) {
        const Expr base = f->args[0];
        return f->args[1]->is_rational() && (base->kind == Kind::Symbol ||
                                             (base->kind == Kind::Function && base->fn != Fn::exp));
    }
    return false;
}

std::optional<Expr> abs_of(Builder& b, Expr arg);

// Abs of a product (`Abs.eval`): a product all of whose symbolic factors are denominators is
// Abs(numerator)/Abs(denominator); otherwise each factor's Abs that evaluates comes out, the
// others stay under one Abs.
std::optional<Expr> abs_of_product(Builder& b, Expr mul) {
    Pool& pool = b.pool();
    // `as_numer_denom` of the factors: a rational p/q gives p over q, b**e with e < 0 gives
    // 1 over b**-e.
    std::vector<Expr> numerators, denominators;
    bool symbolic_numerator = false;
    for (Expr f : mul->args) {
        if (!plain_factor(f)) return std::nullopt;
        if (f->kind == Kind::Rational) {
            numerators.push_back(pool.integer(f->p));
            denominators.push_back(pool.integer(f->q));
        } else if (f->kind == Kind::Pow && f->args[1]->is_rational() && f->args[1]->p < 0) {
            denominators.push_back(b.pow(f->args[0], b.negate(f->args[1])));
        } else {
            numerators.push_back(f);
            symbolic_numerator = symbolic_numerator || has_symbols(f);
        }
    }
    if (!symbolic_numerator) {
        const auto product = [&](std::vector<Expr>& fs) {
            return fs.empty() ? pool.integer(1) : fs.size() == 1 ? fs[0] : b.mul(fs);
        };
        const Expr n = b.call(Fn::Abs, product(numerators));
        const Expr d = b.call(Fn::Abs, product(denominators));
        return b.times(n, b.pow(d, pool.integer(-1)));
    }
    std::vector<Expr> known, unknown;
    for (Expr f : mul->args) {
        if (f->kind == Kind::Pow && f->args[1]->kind == Kind::Integer && f->args[1]->p < 0) {
            const Expr base = b.call(Fn::Abs, f->args[0]);
            if (is_function(base, Fn::Abs))
                unknown.push_back(f);
            else
                known.push_back(b.pow(base, f->args[1]));
        } else {
            const Expr made = b.call(Fn::Abs, f);
            if (is_function(made, Fn::Abs))
                unknown.push_back(f);
            else
                known.push_back(made);
        }
    }
    const Expr k = known.empty() ? pool.integer(1) : known.size() == 1 ? known[0] : b.mul(known);
    if (unknown.empty()) return k;
    const Expr u = pool.function(Fn::Abs, unknown.size() == 1 ? unknown[0] : b.mul(unknown));
    return b.times(k, u);
}

// Abs of an expression with symbols and no sum in it (so that `signsimp` leaves it as it is).
std::optional<Expr> abs_of(Builder& b, Expr arg) {
    if (has_kind(arg, Kind::Add)) return std::nullopt;
    switch (arg->kind) {
        case Kind::Symbol:
            return b.pool().function(Fn::Abs, arg);
        case Kind::Mul:
            return abs_of_product(b, arg);
        case Kind::Pow:
            if (!generic(arg) || !plain_factor(arg)) return std::nullopt;
            if (arg->args[1]->p < 0) {
                // 1/Abs(b**-e), as Abs(numerator)/Abs(denominator).
                const Expr d = b.call(Fn::Abs, b.pow(arg->args[0], b.negate(arg->args[1])));
                return b.pow(d, b.pool().integer(-1));
            }
            return b.pool().function(Fn::Abs, arg);
        case Kind::Function:
            if (arg->fn == Fn::Abs) return arg;  // nonnegative already
            if (arg->fn == Fn::exp || !generic(arg)) return std::nullopt;
            return b.pool().function(Fn::Abs, arg);
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<bool> could_extract_minus_sign(Builder& b, Expr e) {
    switch (e->kind) {
        case Kind::Integer:
        case Kind::Rational:
        case Kind::Float:
            return negative_number(e);
        case Kind::Mul:
            return e->args[0]->is_Number() && negative_number(e->args[0]);
        case Kind::Add: {
            // More terms with a minus sign than without; a tie is decided by the sort order.
            std::size_t negative = 0;
            for (Expr term : e->args)
                if (*could_extract_minus_sign(b, term)) ++negative;
            const std::size_t positive = e->args.size() - negative;
            if (positive != negative) return positive < negative;
            try {
                return sort_key_compare(b.pool(), b.oracle(), e, b.negate(e)) < 0;
            } catch (const Unsupported&) {
                return std::nullopt;
            }
        }
        default:
            return false;
    }
}

std::optional<Expr> evaluate_function(Builder& b, Fn fn, Expr arg) {
    if (!has_symbols(arg)) return numeric(b, fn, arg);
    if (fn == Fn::Abs) return abs_of(b, arg);
    if (fn == Fn::exp) return exp_of(b, arg);
    if (fn == Fn::log) {
        // log(exp(y)) is y for real y: an assumption.
        if (is_function(arg, Fn::exp) ||
            (arg->kind == Kind::Pow && arg->args[0]->kind == Kind::Exp1))
            return std::nullopt;
        return b.pool().function(fn, arg);
    }
    const Parity sign = parity(fn);
    if (sign != Parity::None) {
        auto minus = could_extract_minus_sign(b, arg);
        if (!minus) return std::nullopt;
        if (*minus) {
            const Expr positive = b.call(fn, b.negate(arg));
            return sign == Parity::Odd ? b.negate(positive) : positive;
        }
    }
    if (fn == Fn::sin || fn == Fn::cos || fn == Fn::tan) {
        if (arg->kind == Kind::Mul && pi_factor(arg)) {
            if (arg->args[0]->kind == Kind::Float)
                return std::nullopt;  // a Float multiple of pi is made rational
            // pi*(a + b)/4 is rebuilt as pi*(a/4 + b/4): the multiple of pi, a number times
            // a sum, distributes
            if (arg->args.size() == 3 && arg->args[0]->is_Number() &&
                (arg->args[1]->kind == Kind::Add || arg->args[2]->kind == Kind::Add))
                return std::nullopt;
        }
        if (arg->kind == Kind::Add)
            for (Expr term : arg->args)
                if (pi_factor(term)) return std::nullopt;  // sin(x + pi/2) is cos(x)
    }
    for (const Undoes& u : kUndoes)
        if (u.fn == fn && is_function(arg, u.inverse)) return arg->args[0];
    if (rewrites(fn, arg)) return std::nullopt;
    return b.pool().function(fn, arg);
}

Expr Builder::call(Fn fn, Expr arg) {
    if (auto made = evaluate_function(*this, fn, arg)) return *made;
    return ask(Op::Call, fn, std::span<const Expr>(&arg, 1));
}

}  // namespace kt::symbolic
