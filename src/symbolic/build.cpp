#include "symbolic/build.hpp"

#include <vector>

namespace kt::symbolic {

Expr Builder::ask(Op op, Fn fn, std::span<const Expr> args) {
    ++delegated_;
    return oracle_.construct(pool_, op, fn, args);
}

Expr Builder::add(std::span<const Expr> args) { return ask(Op::Add, Fn::exp, args); }

Expr Builder::mul(std::span<const Expr> args) { return ask(Op::Mul, Fn::exp, args); }

Expr Builder::pow(Expr base, Expr exp) {
    const Expr args[] = {base, exp};
    return ask(Op::Pow, Fn::exp, args);
}

Expr Builder::plus(Expr a, Expr b) {
    const Expr args[] = {a, b};
    return add(args);
}

Expr Builder::minus(Expr a, Expr b) { return plus(a, negate(b)); }

Expr Builder::times(Expr a, Expr b) {
    const Expr args[] = {a, b};
    return mul(args);
}

// `-a` as each class defines it: numbers negate, a product negates its coefficient, a sum is
// -1 times it (distributed), anything else is the unevaluated product -1*a.
Expr Builder::negate(Expr a) {
    switch (a->kind) {
        case Kind::Integer:
            return pool_.integer(-a->p);
        case Kind::Rational:
            return pool_.rational(-a->p, a->q);
        case Kind::Float:
            return pool_.real(-a->value);
        case Kind::Add: {
            const Expr args[] = {pool_.integer(-1), a};
            return mul(args);
        }
        case Kind::Mul: {
            // Mul.__neg__: the coefficient c of as_coeff_mul negated, into the first argument
            // when that is a number, else put in front (none when it becomes 1).
            std::vector<Expr> args(a->args.begin(), a->args.end());
            if (args[0]->is_Number()) {
                args[0] = negate(args[0]);
                if (args[0]->is_integer_value(1)) args.erase(args.begin());
            } else {
                args.insert(args.begin(), pool_.integer(-1));
            }
            if (args.size() == 1) return args[0];
            return pool_.make(Kind::Mul, args);
        }
        default: {
            const Expr args[] = {pool_.integer(-1), a};
            return pool_.make(Kind::Mul, args);
        }
    }
}

Expr Builder::sqrt(Expr a) { return pow(a, pool_.rational(1, 2)); }

}  // namespace kt::symbolic
