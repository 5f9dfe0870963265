#include "symbolic/numbers.hpp"

#include <bit>
#include <cfloat>
#include <cmath>
#include <vector>

#include "symbolic/compare.hpp"

namespace kt::symbolic {

namespace {

constexpr __int128 kMax = INT64_MAX;

__int128 abs128(__int128 v) { return v < 0 ? -v : v; }

__int128 gcd128(__int128 a, __int128 b) {
    a = abs128(a), b = abs128(b);
    while (b != 0) {
        const __int128 t = a % b;
        a = b, b = t;
    }
    return a;
}

// The mantissa of an exact product, as mpmath holds it before rounding: little-endian limbs.
struct Wide {
    std::vector<std::uint32_t> limbs;

    explicit Wide(std::uint64_t v) {
        while (v) limbs.push_back((std::uint32_t)v), v >>= 32;
    }
    Wide times(const Wide& o) const {
        Wide r(0);
        r.limbs.assign(limbs.size() + o.limbs.size(), 0);
        for (std::size_t i = 0; i < limbs.size(); ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < o.limbs.size(); ++j) {
                const std::uint64_t t =
                    (std::uint64_t)limbs[i] * o.limbs[j] + r.limbs[i + j] + carry;
                r.limbs[i + j] = (std::uint32_t)t;
                carry = t >> 32;
            }
            r.limbs[i + o.limbs.size()] = (std::uint32_t)carry;
        }
        while (!r.limbs.empty() && r.limbs.back() == 0) r.limbs.pop_back();
        return r;
    }
    long bits() const {
        if (limbs.empty()) return 0;
        return (long)(limbs.size() - 1) * 32 + (32 - std::countl_zero(limbs.back()));
    }
    bool bit(long k) const { return (limbs[(std::size_t)(k / 32)] >> (k % 32)) & 1u; }
    bool any_below(long k) const {
        for (long i = 0; i < k; ++i)
            if (bit(i)) return true;
        return false;
    }
    // The bits from `k` up (fewer than 64 of them).
    std::uint64_t from(long k) const {
        std::uint64_t v = 0;
        for (long i = bits() - 1; i >= k; --i) v = (v << 1) | (bit(i) ? 1u : 0u);
        return v;
    }
};

// A value man * 2**exp rounded to `prec` bits, to nearest with ties to even (mpmath's
// normalize): the rounded mantissa and its exponent.
struct Rounded {
    std::uint64_t man;
    std::int64_t exp;
};

Rounded round_wide(const Wide& man, std::int64_t exp, int prec) {
    const long bc = man.bits();
    if (bc <= prec) return {man.from(0), exp};
    const long n = bc - prec;
    std::uint64_t kept = man.from(n);
    const bool half = man.bit(n - 1);
    const bool rest = man.any_below(n - 1);
    if (half && (rest || (kept & 1))) ++kept;
    return {kept, exp + n};
}

double to_double(bool negative, Rounded r) {
    // man * 2**exp must be a normal double.
    const int b = 64 - std::countl_zero(r.man);
    const std::int64_t top = r.exp + b - 1;  // the exponent of the leading bit
    if (top > 1023 || top < -1022) throw Undecided{"a Float beyond the range of doubles"};
    const double v = std::ldexp((double)r.man, (int)r.exp);
    return negative ? -v : v;
}

// num/den (both below 2**63, num > 0) correctly rounded to 53 bits, as mpf_div rounds.
double round_quotient(std::uint64_t num, std::uint64_t den) {
    unsigned __int128 n = num, d = den;
    int e = 0;
    while (n < d) n <<= 1, --e;
    while (n >= 2 * d) d <<= 1, ++e;
    std::uint64_t m = 0;  // 55 bits of the quotient, the leading one of weight 2**e
    for (int i = 0; i < 55; ++i) {
        m <<= 1;
        if (n >= d) m |= 1, n -= d;
        n <<= 1;
    }
    const bool sticky = n != 0;
    const std::uint64_t low = m & 3;
    m >>= 2;
    if ((low & 2) && ((low & 1) || sticky || (m & 1))) ++m;
    return std::ldexp((double)m, e - 52);
}

Rounded power_of(Mpf x, std::int64_t n, int prec) {
    // man**n exactly, then rounded, as mpf_pow_int does while bc*n < 1000.
    if (x.man == 1) return {1, x.exp * n};
    if ((std::int64_t)x.bc * n >= 1000) throw Undecided{"a large power of a Float"};
    Wide p(x.man), base(x.man);
    for (std::int64_t k = 1; k < n; ++k) p = p.times(base);
    return round_wide(p, x.exp * n, prec);
}

}  // namespace

Expr make_integer(Pool& pool, __int128 p) {
    if (p > kMax || p < -kMax) throw Undecided{"an integer beyond 64 bits"};
    return pool.integer((std::int64_t)p);
}

Expr make_rational(Pool& pool, __int128 p, __int128 q) {
    if (q < 0) p = -p, q = -q;
    const __int128 g = gcd128(p, q);
    if (g > 1) p /= g, q /= g;
    if (p > kMax || p < -kMax || q > kMax) throw Undecided{"a rational beyond 64 bits"};
    return pool.rational((std::int64_t)p, (std::int64_t)q);
}

Expr make_float(Pool& pool, double v) {
    if (v == 0.0) return pool.integer(0);
    if (!std::isfinite(v) || std::fabs(v) < DBL_MIN)
        throw Undecided{"a Float beyond the range of doubles"};
    return pool.real(v);
}

double rational_to_double(Expr r) {
    if (r->kind == Kind::Integer) return (double)r->p;  // correctly rounded
    constexpr std::int64_t exact = std::int64_t(1) << 53;
    if (r->p <= exact && r->p >= -exact && r->q <= exact) return (double)r->p / (double)r->q;
    const bool negative = r->p < 0;
    const double v =
        round_quotient(negative ? -(std::uint64_t)r->p : (std::uint64_t)r->p, (std::uint64_t)r->q);
    return negative ? -v : v;
}

int number_sign(Expr a) {
    if (a->kind == Kind::Float) return (a->value > 0) - (a->value < 0);
    return (a->p > 0) - (a->p < 0);
}

namespace {

double float_value(Expr a) { return a->kind == Kind::Float ? a->value : rational_to_double(a); }

}  // namespace

Expr number_add(Pool& pool, Expr a, Expr b) {
    if (a->kind == Kind::Float || b->kind == Kind::Float)
        return make_float(pool, float_value(a) + float_value(b));
    return make_rational(pool, (__int128)a->p * b->q + (__int128)b->p * a->q,
                         (__int128)a->q * b->q);
}

Expr number_mul(Pool& pool, Expr a, Expr b) {
    if (a->kind == Kind::Float || b->kind == Kind::Float) {
        const double x = float_value(a), y = float_value(b);
        const double r = x * y;
        if (r == 0.0 && x != 0.0 && y != 0.0) throw Undecided{"a Float product underflows"};
        return make_float(pool, r);
    }
    return make_rational(pool, (__int128)a->p * b->p, (__int128)a->q * b->q);
}

Expr number_neg(Pool& pool, Expr a) {
    switch (a->kind) {
        case Kind::Integer:
            return pool.integer(-a->p);
        case Kind::Rational:
            return pool.rational(-a->p, a->q);
        default:
            return a->value == 0.0 ? a : pool.real(-a->value);
    }
}

double float_pow_int(double x, std::int64_t n) {
    if (n == 0) return 1.0;
    if (n == 1) return x;
    if (n == 2) {
        const double r = x * x;
        if (r < DBL_MIN) throw Undecided{"a Float beyond the range of doubles"};
        return r;
    }
    if (n == -1) return 1.0 / x;
    const Mpf m = mpf_of(x);
    if (n > 0) return to_double(m.sign && (n & 1), power_of(m, n, 53));
    // The reciprocal of the power rounded to 58 bits (mpmath's prec+5), rounded again.
    const Rounded inverse = power_of(m, -n, 58);
    const double r = round_quotient(1, inverse.man);  // 1/man, then scaled by 2**-exp
    const int b = std::ilogb(r);
    if (b - inverse.exp > 1023 || b - inverse.exp < -1022)
        throw Undecided{"a Float beyond the range of doubles"};
    const double v = std::ldexp(r, (int)-inverse.exp);
    return m.sign && (n & 1) ? -v : v;
}

double float_pow(double x, double t) {
    if (t == std::trunc(t) && std::fabs(t) < 1e9) return float_pow_int(x, (std::int64_t)t);
    if (t == 0.5) return std::sqrt(x);  // mpf_sqrt, correctly rounded
    throw Undecided{"a Float power mpmath computes through exp and log"};
}

bool exact_root(std::int64_t v, std::int64_t n, std::int64_t& root) {
    if (v < 2) return root = v, true;
    if (n >= 63) return false;
    const auto guess = (std::int64_t)std::llround(std::pow((double)v, 1.0 / (double)n));
    for (std::int64_t r = std::max<std::int64_t>(guess - 1, 1); r <= guess + 1; ++r) {
        __int128 p = 1;
        for (std::int64_t k = 0; k < n && p <= v; ++k) p *= r;
        if (p == v) return root = r, true;
    }
    return false;
}

std::vector<std::pair<std::int64_t, std::int64_t>> prime_factors(std::int64_t v) {
    if (v >= (std::int64_t(1) << 30)) throw Undecided{"factoring a large integer"};
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (std::int64_t p = 2; p * p <= v; ++p) {
        if (v % p) continue;
        std::int64_t k = 0;
        while (v % p == 0) v /= p, ++k;
        out.emplace_back(p, k);
    }
    if (v > 1) out.emplace_back(v, 1);
    return out;
}

}  // namespace kt::symbolic
