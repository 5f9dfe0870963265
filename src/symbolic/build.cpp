#include "symbolic/build.hpp"

#include <vector>

#include "symbolic/evaluation.hpp"

namespace kt::symbolic {

Expr Builder::ask(Op op, Fn fn, std::span<const Expr> args) {
    ++delegated_;
    return oracle_.construct(pool_, op, fn, args);
}

Expr Builder::ask(Op op, std::span<const Expr> args, const char* why) {
    ++reasons_[why];
    return ask(op, Fn::exp, args);
}

// Each constructor is decided natively where its rules reach; a step they do not cover leaves
// the whole construction to the oracle.
Expr Builder::add(std::span<const Expr> args) {
    try {
        return Evaluation(*this).add(std::vector<Expr>(args.begin(), args.end()));
    } catch (const Undecided& u) {
        return ask(Op::Add, args, u.why);
    }
}

Expr Builder::mul(std::span<const Expr> args) {
    try {
        return Evaluation(*this).mul(std::vector<Expr>(args.begin(), args.end()));
    } catch (const Undecided& u) {
        return ask(Op::Mul, args, u.why);
    }
}

Expr Builder::rebuild(Expr like, std::span<const Expr> args) {
    switch (like->kind) {
        case Kind::Add:
            return add(args);
        case Kind::Mul:
            return mul(args);
        case Kind::Pow:
            return pow(args[0], args[1]);
        case Kind::Function:
            return call(like->fn, args[0]);
        default:
            throw Unsupported("an atom has no arguments to rebuild");
    }
}

Expr Builder::pow(Expr base, Expr exp) {
    const Expr args[] = {base, exp};
    try {
        return Evaluation(*this).pow(base, exp);
    } catch (const Undecided& u) {
        return ask(Op::Pow, args, u.why);
    }
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
    try {
        return Evaluation(*this).neg(a);
    } catch (const Undecided& u) {
        const Expr args[] = {pool_.integer(-1), a};
        return ask(Op::Mul, args, u.why);
    }
}

Expr Builder::sqrt(Expr a) { return pow(a, pool_.rational(1, 2)); }

}  // namespace kt::symbolic
