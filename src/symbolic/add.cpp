// Add(*args) as sympy's AssocOp.__new__ and Add.flatten make it: 0 dropped, nested sums
// flattened, Numbers summed in the order met, like terms collected by their Number
// coefficients, the terms sorted by Basic.compare and the Number put first.
#include <algorithm>

#include "symbolic/compare.hpp"
#include "symbolic/evaluation.hpp"

namespace kt::symbolic {

namespace {

bool is_rational(Expr e) { return e->kind == Kind::Integer || e->kind == Kind::Rational; }

// A dict of Python's, in the order keys were first inserted; keys are interned nodes.
template <class V>
struct Ordered {
    std::vector<std::pair<Expr, V>> items;
    V* find(Expr key) {
        for (auto& [k, v] : items)
            if (k == key) return &v;
        return nullptr;
    }
};

}  // namespace

Expr Evaluation::add(std::vector<Expr> args) {
    Depth depth(*this);
    std::erase(args, zero_);
    if (args.empty()) return zero_;
    if (args.size() == 1) return args[0];

    // A Rational and a product are already in their order (no sorting, no collecting).
    if (args.size() == 2) {
        Expr a = args[0], b = args[1];
        if (is_rational(b)) std::swap(a, b);
        if (is_rational(a) && b->kind == Kind::Mul)
            return pool_.make(Kind::Add, std::vector<Expr>{a, b});
    }

    Ordered<Expr> terms;  // term -> its Number coefficient
    Expr coeff = zero_;
    std::vector<Expr> seq = std::move(args);
    for (std::size_t k = 0; k < seq.size(); ++k) {
        const Expr o = seq[k];
        Expr c = one(), s = o;
        if (o->is_Number()) {
            coeff = number_add(pool_, coeff, o);
            continue;
        }
        if (o->kind == Kind::Add) {
            seq.insert(seq.end(), o->args.begin(), o->args.end());
            continue;
        }
        if (o->kind == Kind::Mul) {
            std::tie(c, s) = as_coeff_mul(o);
        } else if (o->kind == Kind::Pow) {
            // An unevaluated power of a Number (2**3, 2**(-1/2)) is evaluated first.
            auto [b, e] = as_base_exp(o);
            if (b->is_Number() &&
                (e->kind == Kind::Integer || (e->kind == Kind::Rational && e->p < 0))) {
                seq.push_back(pow(b, e));
                continue;
            }
        }
        if (Expr* found = terms.find(s))
            *found = number_add(pool_, *found, c);
        else
            terms.items.emplace_back(s, c);
    }

    std::vector<Expr> out;
    for (auto [s, c] : terms.items) {
        if (number_sign(c) == 0) continue;
        if (c->is_integer_value(1)) {
            out.push_back(s);
        } else if (s->kind == Kind::Mul) {
            // A product keeps its order: the coefficient goes in front, unevaluated.
            std::vector<Expr> margs{c};
            margs.insert(margs.end(), s->args.begin(), s->args.end());
            out.push_back(pool_.make(Kind::Mul, margs));
        } else if (s->kind == Kind::Add) {
            out.push_back(pool_.make(Kind::Mul, std::vector<Expr>{c, s}));
        } else {
            out.push_back(mul({c, s}));
        }
    }
    std::stable_sort(out.begin(), out.end(), [](Expr a, Expr b) { return compare(a, b) < 0; });
    if (coeff != zero_) out.insert(out.begin(), coeff);
    return raw(Kind::Add, std::move(out));
}

}  // namespace kt::symbolic
