#include "symbolic/facts.hpp"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "symbolic/numbers.hpp"

namespace kt::symbolic {

namespace {

Truth truth(bool b) { return b ? Truth::True : Truth::False; }

// Integers and Rationals: everything follows from the value.
Truth rational_fact(Expr e, Fact f) {
    const bool integer = e->kind == Kind::Integer;
    const std::int64_t p = e->p;
    switch (f) {
        case Fact::zero:
            return truth(p == 0);
        case Fact::integer:
            return truth(integer);
        case Fact::even:
            return truth(integer && p % 2 == 0);
        case Fact::odd:
            return truth(integer && p % 2 != 0);
        case Fact::positive:
        case Fact::extended_positive:
            return truth(p > 0);
        case Fact::negative:
        case Fact::extended_negative:
            return truth(p < 0);
        case Fact::extended_nonnegative:
            return truth(p >= 0);
        case Fact::extended_real:
        case Fact::finite:
            return Truth::True;
        case Fact::infinite:
        case Fact::imaginary:
            return Truth::False;
        case Fact::polar:
            return Truth::None;
    }
    return Truth::None;
}

// Floats: sympy cannot tell whether a nonzero integral Float is an integer (is_integer of
// Float(2.0) is None), so neither whether it is even or odd.
Truth float_fact(Expr e, Fact f) {
    const double v = e->value;
    const bool integral = v == std::trunc(v);
    switch (f) {
        case Fact::zero:
            return truth(v == 0.0);
        case Fact::integer:
            return v == 0.0 ? Truth::True : integral ? Truth::None : Truth::False;
        case Fact::even:
            return v == 0.0 ? Truth::True : integral ? Truth::None : Truth::False;
        case Fact::odd:
            return v == 0.0 ? Truth::False : integral ? Truth::None : Truth::False;
        case Fact::positive:
        case Fact::extended_positive:
            return truth(v > 0.0);
        case Fact::negative:
        case Fact::extended_negative:
            return truth(v < 0.0);
        case Fact::extended_nonnegative:
            return truth(v >= 0.0);
        case Fact::extended_real:
        case Fact::finite:
            return Truth::True;
        case Fact::infinite:
        case Fact::imaginary:
            return Truth::False;
        case Fact::polar:
            return Truth::None;
    }
    return Truth::None;
}

// pi and E: positive transcendental reals.
Truth constant_fact(Fact f) {
    switch (f) {
        case Fact::positive:
        case Fact::extended_positive:
        case Fact::extended_nonnegative:
        case Fact::extended_real:
        case Fact::finite:
            return Truth::True;
        case Fact::polar:
            return Truth::None;
        default:
            return Truth::False;
    }
}

// Whether sympy, which only states what holds for every value of the plain symbols, must
// answer None: a symbol occurring once in the expression, through functions onto (almost) all
// of the complex plane, lets the expression take values on both sides of the fact (0 and 1
// for is_zero, 1 and i for is_extended_real, ...). The rest of the expression is taken as some
// finite nonzero value, as any expression sympy left unevaluated can be.

// Values an expression can take as its free symbol ranges over the complex numbers.
enum Witness : unsigned {
    kZero = 1,        // 0
    kOne = 2,         // 1 or another positive odd integer
    kMinusOne = 4,    // -1 or another negative odd integer
    kHalf = 8,        // 1/2 or another positive non-integer real
    kTwo = 16,        // 2 or another positive even integer
    kI = 32,          // i or another imaginary number
    kComplex = 64,    // 1 + i or another number neither real nor imaginary
    kAll = 127,
};

// How much of the plane an expression covers as its free symbol ranges: all of it, all but
// finitely many points with 0 among the values, all but finitely many points, or only the
// witnesses listed (an image the rules cannot carry further).
struct Range {
    enum Class { All, Most, Punctured, Listed, Unknown } cls = Unknown;
    unsigned listed = 0;

    unsigned witnesses() const {
        switch (cls) {
            case All:
            case Most:
                return kAll;
            case Punctured:
                return kAll & ~kZero;  // every other witness has infinitely many alternatives
            case Listed:
                return listed;
            default:
                return 0;
        }
    }
    bool covers() const { return cls == All || cls == Most || cls == Punctured; }
};

Range listed(unsigned w) { return {Range::Listed, w}; }

bool contains(Expr e, Expr s) {
    if (e == s) return true;
    for (Expr a : e->args)
        if (contains(a, s)) return true;
    return false;
}

void count_symbols(Expr e, std::vector<std::pair<Expr, int>>& counts) {
    if (e->kind == Kind::Symbol) {
        for (auto& [s, n] : counts)
            if (s == e) return (void)++n;
        counts.emplace_back(e, 1);
        return;
    }
    for (Expr a : e->args) count_symbols(a, counts);
}

bool positive_constant(Expr e) {
    return (e->is_Number() && number_sign(e) > 0) || e->kind == Kind::Pi || e->kind == Kind::Exp1;
}

// The image of a function of an argument covering at least all but finitely many points.
Range function_range(Fn fn, const Range& a) {
    if (!a.covers()) return {};  // exp(Abs(x)) is real: the argument must reach off the axis
    switch (fn) {
        case Fn::exp:
            return {Range::Punctured, 0};
        case Fn::sin:
        case Fn::cos:
        case Fn::sinh:
        case Fn::cosh:
            return {Range::All, 0};  // every value has infinitely many preimages
        case Fn::tan:
        case Fn::tanh:
            return {Range::Most, 0};  // all but +-i, +-1
        default:
            break;
    }
    if (a.cls != Range::All) return {};  // these are one to one: a lost point loses a value
    switch (fn) {
        case Fn::log:
        case Fn::asinh:
        case Fn::atanh:
            return listed(kAll);  // strips of height pi or more around the real axis
        case Fn::asin:
        case Fn::atan:
            return listed(kAll & ~kTwo);  // real parts within pi/2
        case Fn::acos:
        case Fn::acosh:
            return listed(kAll & ~kMinusOne);  // real parts >= 0
        case Fn::Abs:
            return listed(kZero | kOne | kHalf | kTwo);
        default:
            return {};
    }
}

// The range of `e` as the symbol `s`, occurring once in it, ranges over the complex numbers.
Range range_of(Expr e, Expr s) {
    if (e == s) return {Range::All, 0};
    switch (e->kind) {
        case Kind::Mul: {
            // A nonzero finite factor scales the plane onto itself.
            for (Expr a : e->args) {
                if (!contains(a, s)) continue;
                const Range r = range_of(a, s);
                return r.covers() ? r : Range{};
            }
            return {};
        }
        case Kind::Add: {
            for (Expr a : e->args) {
                if (!contains(a, s)) continue;
                const Range r = range_of(a, s);
                if (r.cls == Range::All) return r;
                return r.covers() ? Range{Range::Punctured, 0} : Range{};
            }
            return {};
        }
        case Kind::Pow: {
            const Expr b = e->args[0], n = e->args[1];
            if (contains(n, s)) {
                // c**a = exp(a*log(c)) for a constant c != 0, 1
                const Range r = range_of(n, s);
                if (r.covers() && b->is_number() && positive_constant(b) && !b->is_integer_value(1))
                    return {Range::Punctured, 0};
                return {};
            }
            const Range r = range_of(b, s);
            if (!r.covers() || !n->is_Number()) return {};
            const int sign = number_sign(n);
            if (n->kind == Kind::Integer) return sign > 0 ? r : Range{Range::Punctured, 0};
            const bool large = n->kind == Kind::Float ? std::fabs(n->value) >= 1.0
                                                      : (n->p < 0 ? -n->p : n->p) >= n->q;
            if (large) {
                if (sign > 0 && r.cls == Range::All) return r;
                return {Range::Punctured, 0};
            }
            // A principal power below 1 maps the plane onto a sector around the positive
            // reals, of half-angle |n|*pi.
            if (r.cls != Range::All) return {};
            const bool half_or_more = n->kind == Kind::Float
                                          ? std::fabs(n->value) >= 0.5
                                          : 2 * (n->p < 0 ? -n->p : n->p) >= n->q;
            unsigned w = kOne | kHalf | kTwo | kComplex | (half_or_more ? kI : 0u);
            if (sign > 0) w |= kZero;
            return listed(w);
        }
        case Kind::Function:
            return function_range(e->fn, range_of(e->args[0], s));
        default:
            return {};
    }
}

// The witnesses that make a fact true and those that make it false.
std::pair<unsigned, unsigned> sides(Fact f) {
    constexpr unsigned reals = kZero | kOne | kMinusOne | kHalf | kTwo;
    switch (f) {
        case Fact::zero:
            return {kZero, kAll & ~kZero};
        case Fact::integer:
            return {kZero | kOne | kMinusOne | kTwo, kHalf | kI | kComplex};
        case Fact::even:
            return {kZero | kTwo, kOne | kMinusOne | kHalf | kI | kComplex};
        case Fact::odd:
            return {kOne | kMinusOne, kZero | kTwo | kHalf | kI | kComplex};
        case Fact::positive:
        case Fact::extended_positive:
            return {kOne | kHalf | kTwo, kZero | kMinusOne | kI | kComplex};
        case Fact::negative:
        case Fact::extended_negative:
            return {kMinusOne, kAll & ~kMinusOne};
        case Fact::extended_nonnegative:
            return {kZero | kOne | kHalf | kTwo, kMinusOne | kI | kComplex};
        case Fact::extended_real:
            return {reals, kI | kComplex};
        case Fact::imaginary:
            return {kI, kAll & ~kI};
        default:
            return {0, 0};  // finiteness and polarity are not read off values
    }
}

bool undetermined(Expr e, unsigned yes, unsigned no) {
    if (!yes) return false;
    std::vector<std::pair<Expr, int>> counts;
    count_symbols(e, counts);
    for (auto [s, n] : counts) {
        if (n != 1) continue;
        const unsigned w = range_of(e, s).witnesses();
        if ((w & yes) && (w & no)) return true;
    }
    return false;
}

// The sign of a real constant built of positive and negative parts (sqrt(2), 2*pi, pi + 1,
// exp(-3), -sqrt(2)/2): 1 or -1, 0 where the rules here do not tell.
int constant_sign(Expr e) {
    switch (e->kind) {
        case Kind::Integer:
        case Kind::Rational:
        case Kind::Float:
            return number_sign(e);
        case Kind::Pi:
        case Kind::Exp1:
            return 1;
        case Kind::Pow:
            // a positive base to a real power
            return constant_sign(e->args[0]) > 0 &&
                           (e->args[1]->is_Number() || constant_sign(e->args[1]) != 0)
                       ? 1
                       : 0;
        case Kind::Mul: {
            int sign = 1;
            for (Expr a : e->args) sign *= constant_sign(a);
            return sign;
        }
        case Kind::Add: {
            const int first = constant_sign(e->args[0]);
            for (Expr a : e->args)
                if (constant_sign(a) != first) return 0;
            return first;
        }
        case Kind::Function:
            return e->fn == Fn::exp && constant_sign(e->args[0]) != 0 ? 1 : 0;
        default:
            return 0;
    }
}

// What sympy proves of a nonzero real constant of known sign; its integrality is another
// matter (sqrt(2) + sqrt(3) is not known to be a non-integer).
std::optional<Truth> signed_constant_fact(int sign, Fact f) {
    switch (f) {
        case Fact::zero:
        case Fact::infinite:
        case Fact::imaginary:
            return Truth::False;
        case Fact::extended_real:
        case Fact::finite:
            return Truth::True;
        case Fact::positive:
        case Fact::extended_positive:
        case Fact::extended_nonnegative:
            return truth(sign > 0);
        case Fact::negative:
        case Fact::extended_negative:
            return truth(sign < 0);
        default:
            return std::nullopt;
    }
}

// Whether an expression of symbols is real for real values of them and holomorphic in each:
// sums, products, integer powers, positive constants to such powers, and the functions that
// map the reals into themselves analytically. Such an expression is real at some point and,
// moved off the real axis in one of its symbols, not real at another; sympy, which could
// only prove it real through a part known real, says None.
bool real_analytic(Expr e) {
    switch (e->kind) {
        case Kind::Integer:
        case Kind::Rational:
        case Kind::Float:
        case Kind::Pi:
        case Kind::Exp1:
        case Kind::Symbol:
            return true;
        case Kind::Add:
        case Kind::Mul:
            for (Expr a : e->args)
                if (!real_analytic(a)) return false;
            return true;
        case Kind::Pow:
            if (e->args[1]->kind == Kind::Integer) return real_analytic(e->args[0]);
            return !has_symbols(e->args[0]) && constant_sign(e->args[0]) > 0 &&
                   real_analytic(e->args[1]);
        case Kind::Function:
            switch (e->fn) {
                case Fn::exp:
                case Fn::sin:
                case Fn::cos:
                case Fn::tan:
                case Fn::sinh:
                case Fn::cosh:
                case Fn::tanh:
                case Fn::atan:
                case Fn::asinh:
                    return real_analytic(e->args[0]);
                default:
                    return false;
            }
        default:
            return false;
    }
}

// What sympy's handlers state outright about a compound expression, whatever its symbols.
std::optional<Truth> stated(Expr e, Fact f) {
    if (e->kind == Kind::Function && e->fn == Fn::exp && f == Fact::zero)
        return Truth::False;  // exp(x) is zero only for x = -oo
    if (e->kind == Kind::Function && e->fn == Fn::Abs) {
        // Abs is extended real and not negative by class.
        switch (f) {
            case Fact::extended_real:
            case Fact::extended_nonnegative:
                return Truth::True;
            case Fact::negative:
            case Fact::extended_negative:
            case Fact::imaginary:
                return Truth::False;
            default:
                break;
        }
    }
    if (f == Fact::polar) {
        // Mul: polar when a factor is and all others are polar or positive; Pow: as its base;
        // the rest have no rule (no factor or base here is ever polar).
        if (e->kind == Kind::Mul) return Truth::False;
        if (e->kind == Kind::Pow) return ask(e->args[0], Fact::polar);
        return Truth::None;
    }
    return std::nullopt;
}

}  // namespace

Truth ask(Expr e, Fact f) {
    switch (e->kind) {
        case Kind::Integer:
        case Kind::Rational:
            return rational_fact(e, f);
        case Kind::Float:
            return float_fact(e, f);
        case Kind::Pi:
        case Kind::Exp1:
            return constant_fact(f);
        case Kind::Symbol:
            return Truth::None;
        default:
            break;
    }
    if (auto t = stated(e, f)) return *t;
    if (!has_symbols(e))
        if (const int sign = constant_sign(e))
            if (auto t = signed_constant_fact(sign, f)) return *t;
    const auto [yes, no] = sides(f);
    if (undetermined(e, yes, no)) return Truth::None;
    if (f == Fact::extended_real && has_symbols(e) && real_analytic(e)) return Truth::None;
    static constexpr const char* kUndecided[] = {
        "is_zero of a compound expression",
        "is_integer of a compound expression",
        "is_even of a compound expression",
        "is_odd of a compound expression",
        "is_positive of a compound expression",
        "is_negative of a compound expression",
        "is_extended_real of a compound expression",
        "is_extended_positive of a compound expression",
        "is_extended_negative of a compound expression",
        "is_extended_nonnegative of a compound expression",
        "is_finite of a compound expression",
        "is_infinite of a compound expression",
        "is_imaginary of a compound expression",
        "is_polar of a compound expression",
    };
    throw Undecided{kUndecided[(int)f]};
}

Truth real_part_nonnegative(Expr e) {
    if (e->kind == Kind::Symbol) return Truth::None;
    // A value with a negative real part (-1) and one with a nonnegative one.
    if (has_symbols(e) && undetermined(e, kAll & ~kMinusOne, kMinusOne)) return Truth::None;
    throw Undecided{"the real part of a base"};
}

bool provably_zero(Expr e) { return e->is_Number() && number_sign(e) == 0; }

bool provably_infinite(Expr) { return false; }

}  // namespace kt::symbolic
