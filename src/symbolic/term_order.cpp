// Add.as_ordered_terms() with no order given: the special case of a positive number plus a
// product of a negative number and one factor, else as_terms (each term a coefficient and a
// monomial over generators sorted by sort_key) sorted by the lex monomial key, larger exponents
// first, ties by the coefficient's value.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <utility>

#include "symbolic/enclosure.hpp"
#include "symbolic/number_order.hpp"
#include "symbolic/orders.hpp"

namespace kt::symbolic {

namespace {

// complex(coeff) as as_terms accumulates it: exactly, step by step, where every factor's value
// is a double known exactly (numbers, pi, E); else an enclosure of it, which orders two
// coefficients where it keeps them apart.
struct Coefficient {
    double re = 1.0, im = 0.0;
    bool exact = true;
    long double value = 1.0L, relative = 0.0L;  // Python's re is within value*(1 +- relative)
    bool bounded = true;
};

constexpr std::int64_t kExactInDouble = std::int64_t(1) << 53;
constexpr long double kDoubleRounding = 0x1p-52L;  // a double's rounding, and then some

// complex(factor) of a number: evalf at 53 bits, correctly rounded for these.
std::optional<double> value_of(Expr number) {
    switch (number->kind) {
        case Kind::Integer:
            return (double)number->p;
        case Kind::Rational:
            if (number->p > kExactInDouble || number->p < -kExactInDouble ||
                number->q > kExactInDouble)
                return std::nullopt;
            return (double)number->p / (double)number->q;
        case Kind::Float:
            return number->value;
        case Kind::Pi:
            return std::numbers::pi;
        case Kind::Exp1:
            return std::numbers::e;
        default:
            return std::nullopt;
    }
}

// `coeff *= complex(factor)` (`coeff = complex(factor)` on a fresh coefficient): Python's
// complex product, and the enclosure widened by the roundings of the factor and the product.
void multiply(Coefficient& c, Expr factor) {
    const std::optional<double> v = value_of(factor);
    if (v && c.exact) {
        const double re = c.re * *v - c.im * 0.0;
        const double im = c.re * 0.0 + c.im * *v;
        c.re = re, c.im = im;
        if (!std::isfinite(re) || !std::isfinite(im)) c.exact = false;
    } else {
        c.exact = false;
    }
    const std::optional<Enclosure> x = enclose(factor);
    if (!x || std::fabs(x->value) <= 2 * x->error) {
        c.bounded = false;
        return;
    }
    c.value *= x->value;
    c.relative += x->error / std::fabs(x->value) + 2 * kDoubleRounding;
    if (!std::isfinite(c.value) || std::fabs(c.value) > 0x1p1000L) c.bounded = false;
}

// Numbers and NumberSymbols come first in the special case's sorts.
bool numeric(Expr e) { return e->is_number(); }

bool positive(Expr e) { return e->is_Number() ? sign_of(e) > 0 : numeric(e); }

std::vector<Expr> numbers_first(std::span<const Expr> items) {
    std::vector<Expr> out(items.begin(), items.end());
    std::stable_partition(out.begin(), out.end(), numeric);
    return out;
}

bool contains_log(Expr e) {
    if (e->kind == Kind::Function && e->fn == Fn::log) return true;
    return std::any_of(e->args.begin(), e->args.end(), contains_log);
}

struct Term {
    Expr term;
    Coefficient coeff;
    std::vector<std::pair<Expr, std::int64_t>> powers;  // cpart: base -> exponent
    std::vector<std::int64_t> monomial;
};

// decompose_power and the constructions it evaluates, where the result is known to be the
// unevaluated node; anything else is Unsupported.
class Decomposer {
public:
    explicit Decomposer(Orders& orders) : orders_(orders), pool_(orders.pool()) {}

    std::pair<Expr, std::int64_t> operator()(Expr factor) {
        Expr base, exp;
        if (factor->kind == Kind::Pow) {
            base = factor->args[0], exp = factor->args[1];
            if (base->kind == Kind::Rational && base->p == 1) {  // Pow.as_base_exp
                if (exp->kind == Kind::Add) throw Unsupported("a negated sum");
                base = pool_.integer(base->q);
                exp = orders_.builder().negate(exp);
            }
        } else if (factor->kind == Kind::Function && factor->fn == Fn::exp) {
            base = pool_.e(), exp = factor->args[0];
        } else {
            return {factor, 1};
        }
        if (exp->is_Number()) {
            if (exp->kind == Kind::Integer) return {base, exp->p};
            if (exp->kind == Kind::Rational) return {root(factor, base, exp), exp->p};
            return {factor, 1};
        }
        // exp.as_coeff_Mul(rational=True)
        Expr coeff = pool_.integer(1), tail = exp;
        if (exp->kind == Kind::Mul && exp->args[0]->is_Number()) {
            const Expr c = exp->args[0];
            if (c->is_rational()) {
                coeff = c;
                tail = exp->args.size() == 2 ? exp->args[1]
                                             : pool_.make(Kind::Mul, exp->args.subspan(1));
            } else if (sign_of(c) < 0) {
                coeff = pool_.integer(-1);
                std::vector<Expr> rest(exp->args.begin(), exp->args.end());
                rest[0] = pool_.real(-c->value);
                tail = pool_.make(Kind::Mul, rest);
            }
        }
        if (coeff->is_integer_value(-1)) return {power(base, tail), -1};
        if (coeff->is_integer_value(1)) return {factor, 1};
        if (coeff->kind == Kind::Rational)
            tail = keep_coeff(pool_, pool_.rational(1, coeff->q), tail);
        return {power(base, tail), coeff->p};
    }

private:
    // Pow(base, 1/q) where factor = base**(p/q) stayed unevaluated.
    Expr root(Expr factor, Expr base, Expr exp) {
        if (exp->p == 1) return factor;
        // A sum or product of symbols splits off what its signs allow whatever the
        // non-integer exponent, so the root of one that stayed whole stays whole too.
        const bool plain =
            base->kind == Kind::Symbol ||
            ((base->kind == Kind::Add || base->kind == Kind::Mul) && has_symbols(base)) ||
            (base->kind == Kind::Function && base->fn != Fn::exp);
        if (!plain) throw Unsupported("a root that may evaluate");
        const Expr args[] = {base, pool_.rational(1, exp->q)};
        return pool_.make(Kind::Pow, args);
    }

    // Pow(base, tail) for an exponent holding symbols.
    Expr power(Expr base, Expr tail) {
        if (base->kind == Kind::Exp1) {
            if (tail->kind == Kind::Add || contains_log(tail))
                throw Unsupported("an exponential that may evaluate");
            return pool_.function(Fn::exp, tail);
        }
        const bool plain =
            base->kind == Kind::Symbol ||
            ((base->kind == Kind::Add || base->kind == Kind::Mul) && has_symbols(base)) ||
            (base->kind == Kind::Function && base->fn != Fn::exp) ||
            (base->is_rational() && !base->is_integer_value(0) && !base->is_integer_value(1) &&
             !base->is_integer_value(-1));
        if (!plain) throw Unsupported("a power that may evaluate");
        const Expr args[] = {base, tail};
        return pool_.make(Kind::Pow, args);
    }

    Orders& orders_;
    Pool& pool_;
};

// Python's `<` on two coefficients whose values only enclosures give: decided where the
// enclosures are apart, Unsupported where they overlap.
bool enclosed_less(const Coefficient& x, const Coefficient& y) {
    if (!x.bounded || !y.bounded) throw Unsupported("equal monomials, unknown coefficients");
    auto low = [](const Coefficient& c) { return c.value - 2 * std::fabs(c.value) * c.relative; };
    auto high = [](const Coefficient& c) { return c.value + 2 * std::fabs(c.value) * c.relative; };
    if (high(x) < low(y)) return true;
    if (high(y) < low(x)) return false;
    throw Unsupported("equal monomials, coefficients too close to order");
}

// The lex key's order: the monomials' exponents negated, compared left to right, then the
// coefficients ((bool(im), im), (re, im)).
bool term_less(const Term& a, const Term& b) {
    for (std::size_t i = 0; i < a.monomial.size(); ++i)
        if (a.monomial[i] != b.monomial[i]) return a.monomial[i] > b.monomial[i];
    const Coefficient &x = a.coeff, &y = b.coeff;
    if (!x.exact || !y.exact) return enclosed_less(x, y);
    if ((x.im != 0) != (y.im != 0)) return y.im != 0;
    if (x.im != y.im) return x.im < y.im;
    if (x.re != y.re) return x.re < y.re;
    return false;
}

}  // namespace

const std::vector<Expr>& Orders::terms(Expr add) {
    auto found = terms_.find(add);
    if (found != terms_.end()) return found->second;
    std::vector<Expr> ordered;
    if (add->kind != Kind::Add) {
        ordered = {add};
    } else {
        try {
            ordered = native_terms(add);
        } catch (const Unsupported&) {
            ++fallbacks_;
            ordered = builder_.oracle().ordered_terms(pool(), add);
        }
    }
    return terms_.emplace(add, std::move(ordered)).first->second;
}

std::vector<Expr> Orders::native_terms(Expr add) {
    Depth depth(*this);
    Pool& pool = this->pool();
    if (add->args.size() == 2) {
        std::vector<Expr> add_args = numbers_first(add->args);
        if (numeric(add_args[0]) && add_args[1]->kind == Kind::Mul) {
            std::vector<Expr> mul_args = numbers_first(add_args[1]->args);
            if (mul_args.size() == 2 && mul_args[0]->is_Number() && positive(add_args[0]) &&
                sign_of(mul_args[0]) < 0)
                return add_args;
        }
    }

    const Expr one = pool.integer(1);
    Decomposer decompose(*this);
    std::vector<Term> terms;
    std::vector<Expr> gens;
    for (Expr t : add->args) {
        Expr coeff = one, rest = t;
        if (t->is_Number()) {
            coeff = t, rest = one;
        } else if (t->kind == Kind::Mul && t->args[0]->is_Number()) {
            coeff = t->args[0];
            rest = t->args.size() == 2 ? t->args[1] : pool.make(Kind::Mul, t->args.subspan(1));
        }
        Term term{t, {}, {}, {}};
        multiply(term.coeff, coeff);
        if (rest != one) {
            std::span<const Expr> factors =
                rest->kind == Kind::Mul ? rest->args : std::span<const Expr>(&rest, 1);
            for (Expr f : factors) {
                if (!has_symbols(f)) {
                    multiply(term.coeff, f);
                    continue;
                }
                const auto [base, exp] = decompose(f);
                auto same = [base](const auto& p) { return p.first == base; };
                auto at = std::find_if(term.powers.begin(), term.powers.end(), same);
                if (at != term.powers.end())
                    at->second = exp;
                else
                    term.powers.emplace_back(base, exp);
                if (std::find(gens.begin(), gens.end(), base) == gens.end()) gens.push_back(base);
            }
        }
        terms.push_back(std::move(term));
    }

    // sorted(gens, key=default_sort_key) of a set: its order is Python's only where no two
    // keys tie.
    for (std::size_t i = 0; i < gens.size(); ++i)
        for (std::size_t j = i + 1; j < gens.size(); ++j)
            if (auto c = compare(gens[i], gens[j]);
                c != std::partial_ordering::less && c != std::partial_ordering::greater)
                throw Unsupported("generators whose keys tie");
    std::sort(gens.begin(), gens.end(), [this](Expr a, Expr b) { return less(a, b); });

    for (Term& term : terms) {
        term.monomial.assign(gens.size(), 0);
        for (const auto& [base, exp] : term.powers)
            term.monomial[std::find(gens.begin(), gens.end(), base) - gens.begin()] = exp;
    }
    std::stable_sort(terms.begin(), terms.end(), term_less);
    std::vector<Expr> ordered;
    ordered.reserve(terms.size());
    for (const Term& term : terms) ordered.push_back(term.term);
    return ordered;
}

}  // namespace kt::symbolic
