#include "symbolic/enclosure.hpp"

#include <algorithm>
#include <cmath>

namespace kt::symbolic {

namespace {

constexpr long double kRound = 0x1p-63L;  // one rounding of a long double, relative
constexpr long double kLibm = 0x1p-58L;   // a long double libm call, relative, generously
constexpr long double kPi = 3.141592653589793238462643383279502884L;
constexpr long double kE = 2.718281828459045235360287471352662498L;
constexpr int kMaxDepth = 200;

using Maybe = std::optional<Enclosure>;

Maybe checked(long double value, long double error) {
    if (!std::isfinite(value) || !std::isfinite(error)) return std::nullopt;
    return Enclosure{value, error};
}

// f over [a - e, a + e], f monotone there: the ends bound it.
template <class F>
Maybe monotone(F f, const Enclosure& x) {
    const long double v = f(x.value), lo = f(x.value - x.error), hi = f(x.value + x.error);
    const long double spread = std::max(std::fabs(hi - v), std::fabs(v - lo));
    const long double size = std::max({std::fabs(v), std::fabs(lo), std::fabs(hi)});
    return checked(v, spread + 2 * kLibm * size);
}

Maybe enclose_at(Expr e, int depth);

Maybe sum(Expr e, int depth) {
    long double value = 0, error = 0, size = 0;
    for (Expr a : e->args) {
        const Maybe x = enclose_at(a, depth);
        if (!x) return std::nullopt;
        value += x->value;
        error += x->error;
        size += std::fabs(x->value) + x->error;
    }
    return checked(value, error + (long double)e->args.size() * kRound * size);
}

// |prod (v + d) - prod v| <= prod (|v| + e) - prod |v|.
Maybe product(Expr e, int depth) {
    long double value = 1, magnitude = 1, widened = 1;
    for (Expr a : e->args) {
        const Maybe x = enclose_at(a, depth);
        if (!x) return std::nullopt;
        value *= x->value;
        magnitude *= std::fabs(x->value);
        widened *= std::fabs(x->value) + x->error;
    }
    const long double rounding = 2 * (long double)e->args.size() * kRound * widened;
    return checked(value, widened - magnitude + rounding);
}

Maybe power(Expr e, int depth) {
    const Maybe b = enclose_at(e->args[0], depth), x = enclose_at(e->args[1], depth);
    if (!b || !x) return std::nullopt;
    const long double low = b->value - b->error;
    if (e->args[1]->kind == Kind::Integer) {
        const long double n = (long double)e->args[1]->p;
        const bool odd = e->args[1]->p % 2 != 0;
        if (low > 0) return monotone([n](long double t) { return std::pow(t, n); }, *b);
        if (b->value + b->error < 0) {  // a negative base: the power of its magnitude, signed
            const Maybe m = monotone([n](long double t) { return std::pow(t, n); },
                                     Enclosure{-b->value, b->error});
            if (!m) return std::nullopt;
            return Enclosure{odd ? -m->value : m->value, m->error};
        }
        return std::nullopt;
    }
    if (low <= 0) return std::nullopt;  // not real, or not bounded near zero
    // b**x is monotone in each argument for a positive base: the corners bound it.
    const long double v = std::pow(b->value, x->value);
    long double spread = 0, size = std::fabs(v);
    for (long double bb : {b->value - b->error, b->value + b->error})
        for (long double xx : {x->value - x->error, x->value + x->error}) {
            const long double c = std::pow(bb, xx);
            spread = std::max(spread, std::fabs(c - v));
            size = std::max(size, std::fabs(c));
        }
    return checked(v, spread + 2 * kLibm * size);
}

Maybe function(Expr e, int depth) {
    const Maybe arg = enclose_at(e->args[0], depth);
    if (!arg) return std::nullopt;
    const Enclosure x = *arg;
    const long double lo = x.value - x.error, hi = x.value + x.error;
    switch (e->fn) {
        case Fn::exp:
            return monotone([](long double t) { return std::exp(t); }, x);
        case Fn::log:
            if (lo <= 0) return std::nullopt;
            return monotone([](long double t) { return std::log(t); }, x);
        case Fn::sin:
            return checked(std::sin(x.value), x.error + kLibm);
        case Fn::cos:
            return checked(std::cos(x.value), x.error + kLibm);
        case Fn::tan:
            // Monotone between poles: cos keeps its sign over the interval.
            if (std::fabs(std::cos(x.value)) <= x.error + kLibm || x.error > 0.5L)
                return std::nullopt;
            return monotone([](long double t) { return std::tan(t); }, x);
        case Fn::asin:
            if (lo <= -1 || hi >= 1) return std::nullopt;
            return monotone([](long double t) { return std::asin(t); }, x);
        case Fn::acos:
            if (lo <= -1 || hi >= 1) return std::nullopt;
            return monotone([](long double t) { return std::acos(t); }, x);
        case Fn::atan:
            return monotone([](long double t) { return std::atan(t); }, x);
        case Fn::sinh:
            return monotone([](long double t) { return std::sinh(t); }, x);
        case Fn::cosh: {
            if (lo > 0 || hi < 0) return monotone([](long double t) { return std::cosh(t); }, x);
            const long double v = std::cosh(x.value), top = std::cosh(std::max(-lo, hi));
            return checked(v, std::max(top - v, v - 1) + 2 * kLibm * top);
        }
        case Fn::tanh:
            return monotone([](long double t) { return std::tanh(t); }, x);
        case Fn::asinh:
            return monotone([](long double t) { return std::asinh(t); }, x);
        case Fn::acosh:
            if (lo < 1) return std::nullopt;
            return monotone([](long double t) { return std::acosh(t); }, x);
        case Fn::atanh:
            if (lo <= -1 || hi >= 1) return std::nullopt;
            return monotone([](long double t) { return std::atanh(t); }, x);
        case Fn::Abs:
            return Enclosure{std::fabs(x.value), x.error};
    }
    return std::nullopt;
}

Maybe enclose_at(Expr e, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    switch (e->kind) {
        case Kind::Integer:
            return Enclosure{(long double)e->p, 0};
        case Kind::Rational: {
            const long double v = (long double)e->p / (long double)e->q;
            return Enclosure{v, std::fabs(v) * kRound};
        }
        case Kind::Float:
            return Enclosure{(long double)e->value, 0};
        case Kind::Pi:
            return Enclosure{kPi, kPi * kRound};
        case Kind::Exp1:
            return Enclosure{kE, kE * kRound};
        case Kind::Symbol:
            return std::nullopt;
        case Kind::Add:
            return sum(e, depth + 1);
        case Kind::Mul:
            return product(e, depth + 1);
        case Kind::Pow:
            return power(e, depth + 1);
        case Kind::Function:
            return function(e, depth + 1);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Enclosure> enclose(Expr e) { return enclose_at(e, 0); }

}  // namespace kt::symbolic
