#include "symbolic/evaluation.hpp"

namespace kt::symbolic {

namespace {

// Constructions nested deeper than this are left to sympy.
constexpr int kMaxDepth = 64;

}  // namespace

Evaluation::Depth::Depth(Evaluation& ev) : ev(ev) {
    if (++ev.depth_ > kMaxDepth) {
        --ev.depth_;
        throw Undecided{"constructions nested too deep"};
    }
}

Expr Evaluation::plus(Expr a, Expr b) {
    if (a->is_Number() && b->is_Number()) return number_add(pool_, a, b);
    return add({a, b});
}

Expr Evaluation::times(Expr a, Expr b) {
    if (a->is_Number() && b->is_Number()) return number_mul(pool_, a, b);
    return mul({a, b});
}

// `-a`: Number.__neg__, Mul.__neg__ (the coefficient negated), Add.__neg__ (Mul(-1, a),
// distributed), and Expr.__neg__ (the unevaluated -1*a) for the rest.
Expr Evaluation::neg(Expr a) {
    switch (a->kind) {
        case Kind::Integer:
        case Kind::Rational:
        case Kind::Float:
            return number_neg(pool_, a);
        case Kind::Add:
            return mul({minus_one(), a});
        case Kind::Mul: {
            std::vector<Expr> args(a->args.begin(), a->args.end());
            if (args[0]->is_Number()) {
                args[0] = number_neg(pool_, args[0]);
                if (args[0]->is_integer_value(1)) args.erase(args.begin());
            } else {
                args.insert(args.begin(), minus_one());
            }
            return raw(Kind::Mul, std::move(args));
        }
        default:
            return pool_.make(Kind::Mul, std::vector<Expr>{minus_one(), a});
    }
}

std::pair<Expr, Expr> Evaluation::as_coeff_mul(Expr e) {
    if (e->is_Number()) return {e, one()};
    if (e->kind == Kind::Mul && e->args[0]->is_Number()) {
        std::vector<Expr> rest(e->args.begin() + 1, e->args.end());
        return {e->args[0], raw(Kind::Mul, std::move(rest))};
    }
    return {one(), e};
}

std::pair<Expr, Expr> Evaluation::as_base_exp(Expr e) {
    if (e->kind == Kind::Pow) {
        Expr b = e->args[0];
        if (b->kind == Kind::Rational && b->p == 1) return {pool_.integer(b->q), neg(e->args[1])};
        return {b, e->args[1]};
    }
    if (e->kind == Kind::Function && e->fn == Fn::exp) return {pool_.e(), e->args[0]};
    return {e, one()};
}

Expr Evaluation::raw(Kind kind, std::vector<Expr> args) {
    if (args.empty()) return kind == Kind::Mul ? one() : zero();
    if (args.size() == 1) return args[0];
    return pool_.make(kind, args);
}

Expr Evaluation::raw_pow(Expr base, Expr exp) {
    const Expr args[] = {base, exp};
    return pool_.make(Kind::Pow, args);
}

}  // namespace kt::symbolic
