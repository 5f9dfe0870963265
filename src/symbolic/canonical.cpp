#include "symbolic/canonical.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "symbolic/array_math.hpp"
#include "symbolic/print.hpp"

namespace kt::symbolic {

namespace {

constexpr std::int64_t kMostDenominator = 6;
constexpr std::int64_t kMostNumerator = 24;
constexpr double kExact = 9007199254740992.0;  // 2**53: integers up to it are exact doubles

// `f"{x:.{digits}g}"`: C's %g writes what Python's format does for these.
std::string short_number(double x, int digits = 6) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", digits, x);
    return text;
}

// `float(expr)` of a number: exact for the numbers a tree holds, sympy's for the rest.
std::optional<double> float_value(Builder& b, Expr e) {
    switch (e->kind) {
        case Kind::Float:
            return e->value;
        case Kind::Integer:
            return (double)e->p;
        case Kind::Rational:
            if (std::fabs((double)e->p) <= kExact && (double)e->q <= kExact)
                return (double)e->p / (double)e->q;
            break;
        default:
            break;
    }
    return b.oracle().number_value(e);
}

// The root mean square of the values that are not NaN; 0 where none is finite.
double rms(const std::vector<double>& v) {
    if (std::none_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) return 0.0;
    std::vector<double> squares(v.size());
    std::transform(v.begin(), v.end(), squares.begin(), [](double x) { return x * x; });
    return std::sqrt(nanmean(squares));
}

std::vector<double> centred(const std::vector<double>& v) {
    const double mean = nanmean(v);
    std::vector<double> out(v.size());
    std::transform(v.begin(), v.end(), out.begin(), [&](double x) { return x - mean; });
    return out;
}

// A term's numeric factor (the product of its factors without a symbol) and the rest.
std::pair<Expr, Expr> numeric_factor(Builder& b, Expr term) {
    Pool& pool = b.pool();
    if (term->kind != Kind::Mul) {
        // as_coeff_Mul: a Number's own value, else 1
        if (term->is_Number()) return {term, pool.integer(1)};
        return {pool.integer(1), term};
    }
    std::vector<Expr> independent, dependent;
    for (Expr a : term->args) (has_symbols(a) ? dependent : independent).push_back(a);
    const Expr coeff = b.mul(independent);
    // The factors with a symbol, in their order, unevaluated.
    if (dependent.empty()) return {coeff, pool.integer(1)};
    if (dependent.size() == 1) return {coeff, dependent[0]};
    return {coeff, pool.make(Kind::Mul, dependent)};
}

// The numeric factor of a term as a float, and the factor itself; nothing where there is none
// to split (1, 0, an infinite or a complex factor).
std::optional<std::pair<double, Expr>> factor_of(Builder& b, Expr term) {
    const Expr coeff = numeric_factor(b, term).first;
    const std::optional<double> value = float_value(b, coeff);
    if (!value || *value == 0.0 || *value == 1.0 || !std::isfinite(*value)) return std::nullopt;
    return std::make_pair(*value, coeff);
}

// Python's `a / b` on sympy expressions: Rationals divide exactly, a Float divides by a number
// at 53 bits, a Rational by a Float multiplies by its reciprocal; anything else is a * d**-1.
Expr divide(Builder& b, Expr a, Expr d) {
    Pool& pool = b.pool();
    const bool exact_d =
        d->kind != Kind::Rational || (std::fabs((double)d->p) <= kExact && (double)d->q <= kExact);
    if (a->is_rational() && d->is_rational()) {
        if (d->p == 0) throw Unsupported("a division by zero");
        const __int128 n = (__int128)a->p * d->q, m = (__int128)a->q * d->p;
        if (n > INT64_MAX || n < -INT64_MAX || m > INT64_MAX || m < -INT64_MAX)
            throw Unsupported("an integer beyond 64 bits");
        return pool.rational((std::int64_t)n, (std::int64_t)m);
    }
    if (a->kind == Kind::Float && d->is_Number() && exact_d) {
        const double v = *float_value(b, d);
        if (v == 0.0) throw Unsupported("a division by zero");
        return pool.real(a->value / v);
    }
    if (a->is_rational() && d->kind == Kind::Float) {
        if (d->value == 0.0) throw Unsupported("a division by zero");
        if (std::fabs((double)a->p) > kExact || (double)a->q > kExact)
            throw Unsupported("a rational beyond doubles");
        return pool.real((1.0 / d->value) * ((double)a->p / (double)a->q));
    }
    const Expr reciprocal = b.pow(d, pool.integer(-1));
    return a->is_integer_value(1) ? reciprocal : b.times(a, reciprocal);
}

// The term over the numeric factor `coeff`, with no factor left where the two are equal
// (2.5*x/2.5 is x, not 1.0*x).
Expr divided(Builder& b, Expr term, Expr coeff) {
    const auto [own, rest] = numeric_factor(b, term);
    const Expr ratio = divide(b, own, coeff);
    if (!has_symbols(ratio)) {
        const std::optional<double> v = float_value(b, ratio);
        if (v && std::fabs(*v - 1.0) <= 1e-12) return rest;
    }
    return b.times(ratio, rest);
}

void floats_of(Expr e, std::map<double, Expr>& out) {
    if (e->kind == Kind::Float) out.emplace(e->value, e);
    for (Expr a : e->args) floats_of(a, out);
}

// The tree with some of its Floats replaced, rebuilt (and evaluated) where something changed.
Expr replaced(Builder& b, Expr e, const std::map<Expr, Expr>& swap) {
    if (auto found = swap.find(e); found != swap.end()) return found->second;
    if (e->args.empty()) return e;
    std::vector<Expr> args;
    bool changed = false;
    for (Expr a : e->args) {
        args.push_back(replaced(b, a, swap));
        changed |= args.back() != a;
    }
    if (!changed) return e;
    return b.rebuild(e, args);
}

Expr snapped(Builder& b, Expr e, double tolerance, std::vector<std::string>& changes) {
    std::map<double, Expr> floats;  // by value, as they are listed
    floats_of(e, floats);
    std::map<Expr, Expr> swap;
    for (const auto& [value, node] : floats) {
        const std::optional<Expr> simple = simple_value(b, value, tolerance);
        if (!simple) continue;
        swap.emplace(node, *simple);
        changes.push_back(short_number(value) + " \xe2\x86\x92 " +
                          str(b.pool(), b.oracle(), *simple));
    }
    return swap.empty() ? e : replaced(b, e, swap);
}

// Python's Fraction(x).limit_denominator(6) for |x| below 2**8: the best rational
// approximation of denominator at most 6 (the exact rational of a double has a power of two
// for denominator, up to 2**61 in this range).
std::pair<std::int64_t, std::int64_t> limited(double x) {
    int e = 0;
    const double m = std::frexp(x, &e);  // x = m * 2**e, 0.5 <= |m| < 1, e <= 8
    __int128 n = (__int128)std::ldexp(m, 53);
    __int128 d = (__int128)1 << (53 - e);
    while (n % 2 == 0 && d > 1) n /= 2, d /= 2;
    const __int128 denominator = d;
    if (d <= kMostDenominator) return {(std::int64_t)n, (std::int64_t)d};
    // Python's floor division and the continued fraction of limit_denominator.
    auto floor_div = [](__int128 a, __int128 c) {
        __int128 q = a / c;
        if ((a % c != 0) && ((a < 0) != (c < 0))) --q;
        return q;
    };
    __int128 p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    while (true) {
        const __int128 a = floor_div(n, d);
        const __int128 q2 = q0 + a * q1;
        if (q2 > kMostDenominator) break;
        const __int128 p2 = p0 + a * p1;
        p0 = p1, q0 = q1, p1 = p2, q1 = q2;
        const __int128 r = n - a * d;
        n = d, d = r;
    }
    const __int128 k = floor_div(kMostDenominator - q0, q1);
    if (2 * d * (q0 + k * q1) <= denominator) return {(std::int64_t)p1, (std::int64_t)q1};
    return {(std::int64_t)(p0 + k * p1), (std::int64_t)(q0 + k * q1)};
}

}  // namespace

std::optional<Expr> simple_value(Builder& b, double x, double tolerance) {
    if (x == 0.0 || !std::isfinite(x)) return std::nullopt;
    const double bases[] = {1.0, M_PI};
    for (int k = 0; k < 2; ++k) {
        const double ratio = x / bases[k];
        // Beyond these the fraction is 0 or its numerator too large.
        if (std::fabs(ratio) >= kMostNumerator + 1 || std::fabs(ratio) < 1.0 / 16) continue;
        const auto [num, den] = limited(ratio);
        if (num == 0 || std::llabs(num) > kMostNumerator) continue;
        if (std::fabs((double)num / (double)den * bases[k] - x) <= tolerance * std::fabs(x)) {
            const Expr r = b.pool().rational(num, den);
            return k == 0 ? r : b.times(r, b.pool().pi());
        }
    }
    return std::nullopt;
}

CanonicalForm canonical_form(Builder& b, Expr expr, const TermValues& values, double tolerance) {
    CanonicalForm form{expr};
    if (!has_symbols(expr)) return form;
    std::vector<Expr> terms;
    if (expr->kind == Kind::Add)
        terms.assign(expr->args.begin(), expr->args.end());
    else
        terms.push_back(expr);
    std::vector<Expr> numbers;
    for (Expr t : terms)
        if (!has_symbols(t)) numbers.push_back(t);
    double intercept = 0.0;
    if (!numbers.empty()) {
        const std::optional<double> v = float_value(b, b.add(numbers));
        if (v) {
            intercept = *v;
            std::erase_if(terms, [](Expr t) { return !has_symbols(t); });
        }
    }
    std::vector<std::vector<double>> parts;
    for (Expr t : terms) {
        std::optional<std::vector<double>> v = values(t);
        if (!v) return form;
        parts.push_back(std::move(*v));
    }
    std::vector<double> total = parts[0];
    for (std::size_t k = 1; k < parts.size(); ++k)
        for (std::size_t i = 0; i < total.size(); ++i) total[i] += parts[k][i];
    for (double& x : total) x += intercept;
    std::vector<std::string> changes;
    if (tolerance > 0 && terms.size() > 1) {
        const double spread = rms(centred(total));
        std::vector<double> shares;
        std::vector<std::size_t> small;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            shares.push_back(spread != 0.0 ? rms(centred(parts[k])) / spread : 1.0);
            if (shares.back() <= tolerance) small.push_back(k);
        }
        // When every term is small alike, none stands out as noise.
        if (small.size() < terms.size()) {
            for (std::size_t k : small) {
                intercept += nanmean(parts[k]);
                changes.push_back("dropped " + str(b.pool(), b.oracle(), terms[k]) + " (" +
                                  short_number(100 * shares[k], 2) + " % of the variation)");
            }
            for (auto k = small.rbegin(); k != small.rend(); ++k) {
                terms.erase(terms.begin() + (std::ptrdiff_t)*k);
                parts.erase(parts.begin() + (std::ptrdiff_t)*k);
            }
        }
    }
    // The overall factor: a product's numeric factors, or those of a sum's largest term.
    double scale = 1.0;
    std::size_t lead = 0;
    double largest = 0.0;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const double r = rms(parts[k]);
        if (k == 0 || r > largest || (std::isnan(r) && !std::isnan(largest))) lead = k, largest = r;
        if (std::isnan(largest)) break;  // numpy's argmax stops at the first NaN
    }
    if (const auto split = factor_of(b, terms[lead])) {
        scale = split->first;
        for (Expr& t : terms) t = divided(b, t, split->second);
    }
    Expr rest = b.add(terms);
    if (tolerance > 0) {
        rest = snapped(b, rest, tolerance, changes);
        if (rest->kind != Kind::Add) {
            // snapping may leave a new factor (0.5*(2.0001*x) -> x)
            if (const auto more = factor_of(b, rest)) {
                scale *= more->first;
                rest = b.times(rest, b.pow(more->second, b.pool().integer(-1)));
            }
        }
    }
    if (intercept != 0.0)
        changes.insert(changes.begin(), "intercept " + short_number(intercept) + " split off");
    if (scale != 1.0)
        changes.insert(changes.begin() + (intercept != 0.0 ? 1 : 0),
                       "factor " + short_number(scale) + " split off");
    form.core = rest;
    form.intercept = intercept;
    form.scale = scale;
    form.changes = std::move(changes);
    form.values = std::move(total);
    return form;
}

}  // namespace kt::symbolic
