// sympy's sort keys (Number.sort_key, Atom.sort_key, Symbol.sort_key, Expr.sort_key and each
// class's class_key) compared element by element, as Python compares the tuples they build.
#include <stdexcept>

#include "symbolic/float_text.hpp"
#include "symbolic/number_order.hpp"
#include "symbolic/order.hpp"
#include "symbolic/orders.hpp"
#include "symbolic/python_sort.hpp"

namespace kt::symbolic {

namespace {

// Sort keys nest as deep as the tree and the orders of its sums and products; deeper trees
// are refused rather than risk the stack.
constexpr int kMaxDepth = 400;

thread_local long fallback_count = 0;

// Function.class_key: the place of the few functions sympy names, 10000 for the others (all
// of one argument here).
int function_place(Fn fn) {
    switch (fn) {
        case Fn::exp:
            return 10;
        case Fn::log:
            return 11;
        case Fn::sin:
            return 20;
        case Fn::cos:
            return 21;
        case Fn::tan:
            return 22;
        case Fn::sinh:
            return 30;
        case Fn::cosh:
            return 31;
        case Fn::tanh:
            return 32;
        default:
            return 10000;
    }
}

template <class T>
std::partial_ordering order_of(const T& a, const T& b) {
    return a <=> b;
}

}  // namespace

namespace {

// The str of a Symbol, pi or E, without a copy.
std::string_view named_atom_text(Expr atom) {
    switch (atom->kind) {
        case Kind::Pi:
            return "pi";
        case Kind::Exp1:
            return "E";
        default:
            return *atom->name;
    }
}

}  // namespace

std::string atom_text(Expr atom) {
    switch (atom->kind) {
        case Kind::Integer:
            return std::to_string(atom->p);
        case Kind::Rational:
            return std::to_string(atom->p) + "/" + std::to_string(atom->q);
        case Kind::Float:
            return float_text(atom->value, false);
        case Kind::Pi:
            return "pi";
        case Kind::Exp1:
            return "E";
        case Kind::Symbol:
            return *atom->name;
        default:
            throw std::invalid_argument("atom_text: not an atom");
    }
}

long order_fallbacks() { return fallback_count; }

Orders::~Orders() { fallback_count += fallbacks_; }

Orders::Depth::Depth(Orders& o) : orders(o) {
    if (++orders.depth_ > kMaxDepth) {
        --orders.depth_;
        throw Unsupported("a tree too deep to order");
    }
}

const Orders::Key& Orders::key(Expr e) {
    auto found = keys_.find(e);
    if (found != keys_.end()) return found->second;
    Key k = make_key(e);
    return keys_.emplace(e, std::move(k)).first->second;
}

// The class key and items of `expr`: what Expr.sort_key takes from the
// expression left once the coefficient and the exponent are set apart.
void Orders::describe(Expr expr, Key& k) {
    switch (expr->kind) {
        case Kind::Integer:
        case Kind::Rational:
        case Kind::Float:
            k.major = 1, k.name = "Number";
            break;
        case Kind::Pi:
        case Kind::Exp1:
        case Kind::Symbol:
            k.major = 2, k.name = class_name(expr);
            break;
        case Kind::Add:
            k.major = 3, k.minor = 1, k.name = "Add";
            k.args = terms(expr);
            break;
        case Kind::Mul:
            k.major = 3, k.minor = 0, k.name = "Mul";
            k.args = factors(expr);
            break;
        case Kind::Pow:
            k.major = 3, k.minor = 2, k.name = "Pow";
            k.args = expr->args;
            break;
        case Kind::Function:
            k.major = 4, k.minor = function_place(expr->fn), k.name = function_name(expr->fn);
            k.args = expr->args;
            break;
    }
    if (expr->is_atom()) {
        k.textual = true;
        k.text = expr->is_Number() ? std::string_view(texts_.emplace_front(atom_text(expr)))
                                   : named_atom_text(expr);
        k.length = 1;
    } else {
        k.length = (int)k.args.size();
    }
}

Orders::Key Orders::make_key(Expr e) {
    Depth depth(*this);
    Pool& pool = this->pool();
    Key k;
    if (e->is_Number()) {  // (class_key, (0, ()), (), self)
        k.major = 1, k.name = "Number";
        k.coeff = e;
        return k;
    }
    const Expr one = pool.integer(1);
    if (e->is_atom()) {  // (class_key, (1, (str(self),)), One.sort_key(), One)
        describe(e, k);
        k.exp = k.coeff = one;
        return k;
    }
    // Expr.sort_key: the coefficient of as_coeff_Mul apart, then a power's exponent apart.
    Expr coeff = one, expr = e;
    if (e->kind == Kind::Mul && e->args[0]->is_Number()) {
        coeff = e->args[0];
        expr = e->args.size() == 2 ? e->args[1] : pool.make(Kind::Mul, e->args.subspan(1));
    }
    Expr exp = one;
    if (expr->kind == Kind::Pow) {
        Expr base = expr->args[0];
        exp = expr->args[1];
        if (base->kind == Kind::Rational && base->p == 1) {  // Pow.as_base_exp: (1/q)**e
            base = pool.integer(base->q);
            exp = builder_.negate(exp);
        }
        if (base->kind == Kind::Exp1) {  // E**e keys as exp(e)
            k.major = 4, k.minor = function_place(Fn::exp), k.name = "exp";
            k.args = std::span<const Expr>(&singles_.emplace_front(exp), 1);
            k.length = 1;
            exp = one;
        } else {
            describe(base, k);
        }
    } else {
        describe(expr, k);
    }
    k.exp = exp;
    k.coeff = coeff;
    return k;
}

std::partial_ordering Orders::compare(Expr a, Expr b) {
    if (a == b) return std::partial_ordering::equivalent;
    if (a->is_Number() && b->is_Number()) return compare_numbers(a, b);
    if (a->kind == Kind::Symbol && b->kind == Kind::Symbol) return order_of(*a->name, *b->name);
    Depth depth(*this);
    const Key& ka = key(a);
    const Key& kb = key(b);
    if (auto c = order_of(ka.major, kb.major); c != 0) return c;
    if (auto c = order_of(ka.minor, kb.minor); c != 0) return c;
    if (auto c = order_of(ka.name, kb.name); c != 0) return c;
    if (auto c = order_of(ka.length, kb.length); c != 0) return c;
    if (ka.textual != kb.textual || (ka.exp == nullptr) != (kb.exp == nullptr))
        throw Unsupported("sort keys of different shapes");
    if (ka.textual) {
        if (auto c = order_of(ka.text, kb.text); c != 0) return c;
    } else {
        for (std::size_t i = 0; i < ka.args.size(); ++i)
            if (auto c = compare(ka.args[i], kb.args[i]); c != 0) return c;
    }
    if (ka.exp)
        if (auto c = compare(ka.exp, kb.exp); c != 0) return c;
    return compare_numbers(ka.coeff, kb.coeff);
}

const std::vector<Expr>& Orders::factors(Expr mul) {
    auto found = factors_.find(mul);
    if (found != factors_.end()) return found->second;
    std::vector<Expr> ordered;
    if (mul->kind != Kind::Mul) {
        ordered = {mul};
    } else {
        try {
            ordered = native_factors(mul);
        } catch (const Unsupported&) {
            ++fallbacks_;
            ordered = builder_.oracle().ordered_factors(pool(), mul);
        }
    }
    return factors_.emplace(mul, std::move(ordered)).first->second;
}

// Mul.as_ordered_factors: args_cnc (a negative coefficient other than -1 split into -1 and its
// magnitude), sorted in place by sort_key.
std::vector<Expr> Orders::native_factors(Expr mul) {
    std::vector<Expr> factors(mul->args.begin(), mul->args.end());
    const Expr first = factors[0];
    if (first->is_Number() && sign_of(first) < 0 && !first->is_integer_value(-1)) {
        factors[0] = builder_.negate(first);
        factors.insert(factors.begin(), pool().integer(-1));
    }
    python_sort(factors, [this](Expr a, Expr b) { return less(a, b); });
    return factors;
}

}  // namespace kt::symbolic
