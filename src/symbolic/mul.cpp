// Mul(*args) as sympy's AssocOp.__new__ and Mul.flatten make it: 1 dropped, nested products
// flattened, Numbers multiplied in the order met, powers of a base gathered (x*x**2.5 ->
// x**3.5), powers of Numbers combined (2**x*3**x -> 6**x, sqrt(2)*sqrt(6) -> 2*sqrt(3)), the
// factors sorted by Basic.compare with the Number in front, and a Number times a sum of two
// factors distributed (2*(x + 1) -> 2*x + 2).
#include <algorithm>
#include <numeric>

#include "symbolic/compare.hpp"
#include "symbolic/evaluation.hpp"
#include "symbolic/facts.hpp"

namespace kt::symbolic {

namespace {

bool is_rational(Expr e) { return e->kind == Kind::Integer || e->kind == Kind::Rational; }

template <class V>
struct Ordered {
    std::vector<std::pair<Expr, V>> items;
    V& at(Expr key) {
        for (auto& [k, v] : items)
            if (k == key) return v;
        items.emplace_back(key, V{});
        return items.back().second;
    }
};

using Powers = std::vector<std::pair<Expr, Expr>>;  // (base, exponent)

// A Number that sympy's operators made from a power of Numbers must be a Number here.
Expr number(Expr e) {
    if (!e->is_Number()) throw Undecided{"a power of Numbers that is not a Number"};
    return e;
}

}  // namespace

Expr Evaluation::mul(std::vector<Expr> args) {
    Depth depth(*this);
    std::erase(args, one_);
    if (args.empty()) return one_;
    if (args.size() == 1) return args[0];
    return raw(Kind::Mul, flatten_mul(std::move(args)));
}

// `_keep_coeff(coeff, factors)` for a Rational coefficient, as the two-argument product
// distributes it over a sum.
Expr Evaluation::keep_coeff(Expr coeff, Expr factors) {
    if (factors->is_integer_value(1)) return coeff;
    if (coeff->is_integer_value(1)) return factors;
    if (coeff->is_integer_value(-1)) return neg(factors);
    if (factors->kind == Kind::Add) return pool_.make(Kind::Mul, std::vector<Expr>{coeff, factors});
    if (factors->kind == Kind::Mul) {
        std::vector<Expr> margs(factors->args.begin(), factors->args.end());
        if (margs[0]->is_Number()) {
            margs[0] = number_mul(pool_, margs[0], coeff);
            if (margs[0]->is_integer_value(1)) margs.erase(margs.begin());
        } else {
            margs.insert(margs.begin(), coeff);
        }
        return raw(Kind::Mul, std::move(margs));
    }
    Expr m = times(coeff, factors);
    if (m->is_Number() && !factors->is_Number())
        m = pool_.make(Kind::Mul, std::vector<Expr>{coeff, factors});
    return m;
}

std::vector<Expr> Evaluation::flatten_mul(std::vector<Expr> seq) {
    // Two arguments, one a Rational: a sum is distributed over, or keeps its coefficient.
    if (seq.size() == 2) {
        if (is_rational(seq[1])) std::swap(seq[0], seq[1]);
        const Expr a = seq[0];
        if (is_rational(a) && a->p != 0) {
            auto [r, b] = as_coeff_mul(seq[1]);
            if (b->kind == Kind::Add) {
                if (!r->is_integer_value(1)) {
                    const Expr ar = number_mul(pool_, a, r);
                    if (ar->is_integer_value(1)) return {b};
                    return {pool_.make(Kind::Mul, std::vector<Expr>{ar, b})};
                }
                std::vector<Expr> terms;
                for (Expr bi : b->args) terms.push_back(keep_coeff(a, bi));
                return {add(std::move(terms))};
            }
        }
    }

    Expr coeff = one();
    Powers c_powers;               // (base, exponent) of the symbolic factors
    Powers num_exp;                // Number bases with symbolic or Float exponents
    Expr neg1e = zero();           // the exponent of -1 taken from negative Number bases
    Ordered<std::vector<Expr>> pnum_rat;  // Number base -> its Rational exponents
    std::vector<Expr> exps;               // the factors exp(x), held evaluated already
    for (std::size_t k = 0; k < seq.size(); ++k) {
        const Expr o = seq[k];
        if (o->kind == Kind::Function && o->fn == Fn::exp) exps.push_back(o);
        if (o->kind == Kind::Mul) {
            seq.insert(seq.end(), o->args.begin(), o->args.end());
            continue;
        }
        if (o->is_Number()) {
            coeff = number_mul(pool_, coeff, o);
            continue;
        }
        auto [b, e] = as_base_exp(o);
        if (o->kind == Kind::Pow && b->is_Number()) {
            if (is_rational(e)) {
                if (e->kind == Kind::Integer) {
                    coeff = number_mul(pool_, coeff, number(pow(b, e)));
                    continue;
                }
                if (e->p < 0) {
                    seq.push_back(pow(b, e));
                    continue;
                }
                if (number_sign(b) < 0) {
                    neg1e = number_add(pool_, neg1e, e);
                    b = number_neg(pool_, b);
                }
                if (!b->is_integer_value(1)) pnum_rat.at(b).push_back(e);
                continue;
            }
            if (number_sign(b) > 0 || is_true(ask(e, Fact::integer))) {
                num_exp.emplace_back(b, e);
                continue;
            }
        }
        c_powers.emplace_back(b, e);
    }

    // Exponents of a base with the same symbolic part add up: x**a*x**(2*a) -> x**(3*a).
    auto gather = [&](const Powers& powers) {
        Ordered<Ordered<std::vector<Expr>>> common;
        for (auto [b, e] : powers) {
            auto [c, t] = as_coeff_mul(e);
            common.at(b).at(t).push_back(c);
        }
        Powers out;
        for (auto& [b, by_term] : common.items)
            for (auto& [t, coeffs] : by_term.items) out.emplace_back(b, times(add(coeffs), t));
        return out;
    };

    std::vector<Expr> c_part;
    c_powers = gather(c_powers);
    num_exp = gather(num_exp);
    for (int round = 0; round < 2; ++round) {
        Powers next;
        bool changed = false;
        for (auto [b, e] : c_powers) {
            if (provably_zero(e)) continue;
            Expr p = b;
            if (e->is_integer_value(1)) {
                if (b->is_Number()) {
                    coeff = number_mul(pool_, coeff, b);
                    continue;
                }
            } else {
                // E**x is exp(x): a factor exp(x) that comes out unchanged is itself, as
                // evaluating it again gives it back.
                auto same = std::find_if(exps.begin(), exps.end(), [&](Expr x) {
                    return b->kind == Kind::Exp1 && x->args[0] == e;
                });
                p = same != exps.end() ? *same : pow(b, e);
                if (p->kind == Kind::Pow && b->kind != Kind::Pow) {
                    const Expr bi = b;
                    std::tie(b, e) = as_base_exp(p);
                    changed = changed || b != bi;
                }
            }
            c_part.push_back(p);
            next.emplace_back(b, e);
        }
        std::vector<Expr> bases;
        for (auto [b, e] : next) bases.push_back(b);
        std::sort(bases.begin(), bases.end());
        const bool repeated = std::adjacent_find(bases.begin(), bases.end()) != bases.end();
        if (!(changed && repeated)) break;
        c_part.clear();
        c_powers = gather(next);
    }

    // 2**x*3**x -> 6**x
    Ordered<std::vector<Expr>> inv_exp;
    for (auto [b, e] : num_exp) inv_exp.at(e).push_back(b);
    for (auto& [e, bases] : inv_exp.items) {
        const Expr b = mul(bases);
        if (e->is_Number() && number_sign(e) == 0) continue;
        c_part.push_back(pow(b, e));
    }

    // Rational powers of Numbers: the same exponent combines the bases, an exponent above 1
    // gives up its integer part to the coefficient.
    Ordered<std::vector<Expr>> comb_e;
    for (auto& [b, es] : pnum_rat.items) comb_e.at(add(es)).push_back(b);
    Powers num_rat;
    for (auto& [e0, bases] : comb_e.items) {
        const Expr b = mul(bases);
        Expr e = e0;
        if (e->kind == Kind::Integer) {
            coeff = number_mul(pool_, coeff, number(pow(b, e)));
            continue;
        }
        if (e->p > e->q) {
            coeff = number_mul(pool_, coeff, number(pow(b, pool_.integer(e->p / e->q))));
            e = pool_.rational(e->p % e->q, e->q);
        }
        num_rat.emplace_back(b, e);
    }

    // Common factors of the bases share their exponents: 2**(1/3)*6**(1/4) ->
    // 2**(7/12)*3**(1/4).
    if (num_rat.size() > 1)
        for (auto [b, e] : num_rat)
            if (b->kind == Kind::Float) throw Undecided{"a gcd of Float bases"};
    Ordered<std::vector<Expr>> pnew;
    for (std::size_t i = 0; i < num_rat.size(); ++i) {
        auto [bi, ei] = num_rat[i];
        if (bi->is_integer_value(1)) continue;
        Powers grow;
        const std::size_t n = num_rat.size();
        for (std::size_t j = i + 1; j < n; ++j) {
            auto [bj, ej] = num_rat[j];
            const std::int64_t gp = std::gcd(bi->p, bj->p);
            const __int128 gq = (__int128)(bi->q / std::gcd(bi->q, bj->q)) * bj->q;
            const Expr g = make_rational(pool_, gp, gq);
            if (g->is_integer_value(1)) continue;
            Expr e = number_add(pool_, ei, ej);
            if (e->kind == Kind::Integer) {
                coeff = number_mul(pool_, coeff, number(pow(g, e)));
            } else {
                if (e->p > e->q) {
                    coeff = number_mul(pool_, coeff, number(pow(g, pool_.integer(e->p / e->q))));
                    e = pool_.rational(e->p % e->q, e->q);
                }
                grow.emplace_back(g, e);
            }
            num_rat[j].first = make_rational(pool_, (__int128)bj->p * g->q, (__int128)bj->q * g->p);
            bi = make_rational(pool_, (__int128)bi->p * g->q, (__int128)bi->q * g->p);
            if (bi->is_integer_value(1)) break;
        }
        if (!bi->is_integer_value(1)) {
            const Expr obj = pow(bi, ei);
            if (obj->is_Number()) {
                coeff = number_mul(pool_, coeff, obj);
            } else {
                std::vector<Expr> parts{obj};
                if (obj->kind == Kind::Mul) parts.assign(obj->args.begin(), obj->args.end());
                for (Expr part : parts) {
                    if (part->is_Number()) {
                        coeff = number_mul(pool_, coeff, part);
                    } else {
                        if (part->kind != Kind::Pow) throw Undecided{"an odd power of a Number"};
                        pnew.at(part->args[1]).push_back(part->args[0]);
                    }
                }
            }
        }
        num_rat.insert(num_rat.end(), grow.begin(), grow.end());
    }
    for (auto& [e, bases] : pnew.items) bases = {mul(bases)};

    // The powers of -1: an odd integer part flips the coefficient's sign; what remains joins a
    // positive base of the same exponent or stays (-1)**(p/q).
    if (number_sign(neg1e) != 0) {
        const std::int64_t p = neg1e->p, q = neg1e->q;
        if ((p / q) % 2) coeff = number_neg(pool_, coeff);
        if (q == 2) throw Undecided{"an imaginary unit"};
        if (p % q) {
            const Expr r = pool_.rational(p % q, q);
            bool joined = false;
            for (auto& [e, bases] : pnew.items) {
                if (!bases[0]->is_Number()) throw Undecided{"a power of -1 with a symbolic base"};
                if (e == r && number_sign(bases[0]) > 0) {
                    bases[0] = number_neg(pool_, bases[0]);
                    joined = true;
                    break;
                }
            }
            if (!joined) c_part.push_back(raw_pow(minus_one(), r));
        }
    }
    for (auto& [e, bases] : pnew.items) c_part.push_back(pow(bases[0], e));

    if (number_sign(coeff) == 0) {
        for (Expr c : c_part)
            if (provably_infinite(c)) throw Undecided{"zero times an infinity"};
        return {coeff};
    }

    std::vector<Expr> rest;
    for (Expr c : c_part) {
        if (c->is_Number())
            coeff = number_mul(pool_, coeff, c);
        else
            rest.push_back(c);
    }
    std::stable_sort(rest.begin(), rest.end(), [](Expr a, Expr b) { return compare(a, b) < 0; });
    if (!coeff->is_integer_value(1)) rest.insert(rest.begin(), coeff);

    // 2*(1 + a) -> 2 + 2*a
    if (rest.size() == 2 && rest[0]->is_Number() && rest[1]->kind == Kind::Add) {
        std::vector<Expr> terms;
        for (Expr f : rest[1]->args) terms.push_back(times(rest[0], f));
        return {add(std::move(terms))};
    }
    return rest;
}

}  // namespace kt::symbolic
