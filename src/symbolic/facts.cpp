#include "symbolic/facts.hpp"

#include <cmath>

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

}  // namespace kt::symbolic
