// _keep_coeff(coeff, factors) for a positive number, as printing and the order of terms use it:
// a sum keeps the coefficient apart unevaluated, a product takes it in front, and one factor
// makes the product `coeff*factor`, whose evaluation leaves it as it stands for the factors
// allowed here (Mul.flatten folds numbers into some powers of numbers, and 1/q into q**-e).
#include "symbolic/number_order.hpp"
#include "symbolic/orders.hpp"

namespace kt::symbolic {

namespace {

bool stays_apart(Expr factor) {
    switch (factor->kind) {
        case Kind::Symbol:
        case Kind::Function:
        case Kind::Pi:
        case Kind::Exp1:
            return true;
        case Kind::Pow: {
            const Expr base = factor->args[0], exp = factor->args[1];
            if (has_symbols(base)) return true;
            if (base->kind == Kind::Integer && base->p > 1)
                return has_symbols(exp) ||
                       (exp->kind == Kind::Rational && exp->p > 0 && exp->p < exp->q);
            return base->kind == Kind::Rational && base->p > 1 && has_symbols(exp);
        }
        default:
            return false;
    }
}

}  // namespace

Expr keep_coeff(Pool& pool, Expr coeff, Expr factors) {
    if (!coeff->is_Number() || sign_of(coeff) <= 0) throw Unsupported("keep_coeff: a sign");
    if (coeff->is_integer_value(1)) return factors;
    std::vector<Expr> args{coeff};
    if (factors->kind == Kind::Mul) {
        if (factors->args[0]->is_Number()) throw Unsupported("a coefficient to combine");
        args.insert(args.end(), factors->args.begin(), factors->args.end());
    } else if (factors->kind == Kind::Add || stays_apart(factors)) {
        args.push_back(factors);
    } else {
        throw Unsupported("a product that may evaluate");
    }
    return pool.make(Kind::Mul, args);
}

}  // namespace kt::symbolic
