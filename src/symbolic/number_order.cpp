#include "symbolic/number_order.hpp"

#include <cmath>

#include "symbolic/bigint.hpp"
#include "symbolic/compare.hpp"

namespace kt::symbolic {

namespace {

unsigned __int128 magnitude(std::int64_t v) {
    return v < 0 ? (unsigned __int128)(-(__int128)v) : (unsigned __int128)v;
}

// |p|/q against |d|, d = man * 2**exp, exactly.
std::strong_ordering compare_magnitudes(std::int64_t p, std::int64_t q, double d) {
    const Mpf m = mpf_of(d);
    BigUnsigned left(magnitude(p));
    BigUnsigned right((unsigned __int128)q * m.man);
    if (m.exp < 0)
        left.shift_left((std::size_t)-m.exp);
    else
        right.shift_left((std::size_t)m.exp);
    return left <=> right;
}

std::strong_ordering rational_against_float(std::int64_t p, std::int64_t q, double d) {
    const int sp = (p > 0) - (p < 0);
    const int sd = (d > 0) - (d < 0);
    if (sp != sd) return sp <=> sd;
    if (sp == 0) return std::strong_ordering::equal;
    const std::strong_ordering c = compare_magnitudes(p, q, d);
    return sp > 0 ? c : 0 <=> c;
}

}  // namespace

int sign_of(Expr number) {
    if (number->kind == Kind::Float) return (number->value > 0) - (number->value < 0);
    return (number->p > 0) - (number->p < 0);
}

std::strong_ordering compare_values(Expr a, Expr b) {
    const bool fa = a->kind == Kind::Float, fb = b->kind == Kind::Float;
    if (fa && fb) {
        if (a->value < b->value) return std::strong_ordering::less;
        if (a->value > b->value) return std::strong_ordering::greater;
        return std::strong_ordering::equal;
    }
    if (!fa && !fb) return (__int128)a->p * b->q <=> (__int128)b->p * a->q;
    if (fb) return rational_against_float(a->p, a->q, b->value);
    return 0 <=> rational_against_float(b->p, b->q, a->value);
}

std::partial_ordering compare_numbers(Expr a, Expr b) {
    const std::strong_ordering c = compare_values(a, b);
    if (c == 0 && (a->kind == Kind::Float) != (b->kind == Kind::Float))
        return std::partial_ordering::unordered;
    return c;
}

}  // namespace kt::symbolic
