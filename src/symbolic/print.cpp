// StrPrinter (printing/str.py) and its precedences (printing/precedence.py) for the nodes a
// tree holds. Where the printer builds an expression (_keep_coeff, an inverted power) the
// node is made as sympy makes it: unevaluated, or evaluated only where the result is known to
// be the plain node.
#include "symbolic/print.hpp"

#include <algorithm>

#include "symbolic/float_text.hpp"
#include "symbolic/number_order.hpp"
#include "symbolic/orders.hpp"

namespace kt::symbolic {

namespace {

thread_local long fallback_count = 0;

// Deeper trees are printed by the oracle rather than risk the stack.
constexpr int kMaxLevel = 400;

enum Precedence { kAdd = 40, kMul = 50, kPow = 60, kFunc = 70, kAtom = 1000 };

// The coefficient of as_coeff_Mul() is negative.
bool negative_coefficient(Expr e) {
    if (e->is_Number()) return sign_of(e) < 0;
    return e->kind == Kind::Mul && e->args[0]->is_Number() && sign_of(e->args[0]) < 0;
}

class Printer {
public:
    explicit Printer(Orders& orders) : orders_(orders), pool_(orders.pool()) {}

    // Printer._print, appending to `out`: counts the nesting, by which a Float keeps or strips
    // its zeros.
    void print(Expr e, std::string& out) {
        struct Level {
            int& level;
            explicit Level(int& l) : level(l) {
                if (++level > kMaxLevel) {
                    --level;
                    throw Unsupported("a tree too deep to print");
                }
            }
            ~Level() { --level; }
        } guard(level_);
        switch (e->kind) {
            case Kind::Float:
                out += float_text(e->value, level_ > 1);
                return;
            case Kind::Add:
                return print_add(e, out);
            case Kind::Mul:
                return print_mul(e, out);
            case Kind::Pow:
                return print_pow(e, out);
            case Kind::Function:
                out += function_name(e->fn);
                out += '(';
                print(e->args[0], out);
                out += ')';
                return;
            case Kind::Symbol:
                out += *e->name;
                return;
            default:
                out += atom_text(e);
        }
    }

private:
    static int precedence(Expr e) {
        switch (e->kind) {
            case Kind::Integer:
                return e->p < 0 ? kAdd : kAtom;
            case Kind::Rational:
                return e->p < 0 ? kAdd : kMul;
            case Kind::Float:
                return e->value < 0 ? kAdd : kAtom;
            case Kind::Add:
                return kAdd;
            case Kind::Mul:
                return could_extract_minus_sign(e) ? kAdd : kMul;
            case Kind::Pow:
                return kPow;
            case Kind::Function:
                return kFunc;
            default:
                return kAtom;
        }
    }

    // could_extract_minus_sign of anything but a sum: a negative number, or a product led by
    // one. A sum's depends on its negation's sort key, which is left to the oracle.
    static bool could_extract_minus_sign(Expr e) {
        if (e->kind == Kind::Add) throw Unsupported("the sign of a sum");
        return negative_coefficient(e);
    }

    // parenthesize(item, level) (never strict), in `wraps` pairs of parentheses.
    void parenthesize(Expr e, int level, std::string& out, int wraps = 0) {
        if (precedence(e) <= level) ++wraps;
        out.append((std::size_t)wraps, '(');
        print(e, out);
        out.append((std::size_t)wraps, ')');
    }

    // Terms joined by their signs: "x - y", "-x + 1"; a sum among them in parentheses.
    void print_add(Expr e, std::string& out) {
        bool first = true;
        for (Expr term : orders_.terms(e)) {
            const std::size_t separator = out.size();
            if (!first) out += " + ";
            const std::size_t start = out.size();
            print(term, out);
            const bool minus = out.size() > start && out[start] == '-' && term->kind != Kind::Add;
            if (minus && !first) {
                out.erase(start, 1);
                out[separator + 1] = '-';
            }
            if (precedence(term) < kAdd || term->kind == Kind::Add) {
                out.insert(start, 1, '(');
                out += ')';
            }
            first = false;
        }
    }

    void print_pow(Expr e, std::string& out) {
        const Expr base = e->args[0], exp = e->args[1];
        if (exp->kind == Kind::Rational && exp->p == 1 && exp->q == 2) {
            out += "sqrt(";
            print(base, out);
            out += ')';
            return;
        }
        if (exp->kind == Kind::Rational && exp->p == -1 && exp->q == 2) {
            print(pool_.integer(1), out);
            out += "/sqrt(";
            print(base, out);
            out += ')';
            return;
        }
        if (exp->is_integer_value(-1)) {
            print(pool_.integer(1), out);
            out += '/';
            parenthesize(base, kPow, out);
            return;
        }
        parenthesize(base, kPow, out);
        out += "**";
        parenthesize(exp, kPow, out);
    }

    // A product whose arguments show it was built unevaluated (a 1 first, a number or an
    // integer power of an integer after the first) prints every argument as it stands.
    static bool unevaluated(Expr e) {
        if (e->args[0]->is_integer_value(1)) return true;
        return std::any_of(e->args.begin() + 1, e->args.end(), [](Expr a) {
            return a->is_Number() || (a->kind == Kind::Pow && a->args[0]->kind == Kind::Integer &&
                                      a->args[1]->kind == Kind::Integer);
        });
    }

    static bool inverted_power(Expr e) {
        return e->kind == Kind::Pow && negative_coefficient(e->args[1]);
    }

    Expr make(Kind kind, const std::vector<Expr>& args) {
        return args.size() == 1 ? args[0] : pool_.make(kind, args);
    }

    Expr negate(Expr e) {
        if (e->kind == Kind::Add) throw Unsupported("a negated sum");
        return orders_.builder().negate(e);
    }

    // Factors joined by '*', each parenthesized at the product's precedence.
    void print_factors(const std::vector<Expr>& items, int prec, std::string& out,
                       const std::vector<int>& wraps = {}) {
        for (std::size_t k = 0; k < items.size(); ++k) {
            if (k) out += '*';
            parenthesize(items[k], prec, out, wraps.empty() ? 0 : wraps[k]);
        }
    }

    // Numerator over denominator: the coefficient's sign first, a Rational split into its
    // integers, powers with a negative coefficient in the exponent inverted below.
    void print_mul(Expr e, std::string& out) {
        const int prec = precedence(e);
        if (unevaluated(e)) return print_unevaluated_mul(e, prec, out);

        Expr expr = e;
        if (e->args[0]->is_Number() && sign_of(e->args[0]) < 0) {
            const Expr rest =
                make(Kind::Mul, std::vector<Expr>(e->args.begin() + 1, e->args.end()));
            expr = keep_coeff(pool_, negate(e->args[0]), rest);
            out += '-';
        }

        std::vector<Expr> a, b, pow_paren;
        for (Expr item : orders_.factors(expr)) {
            if (inverted_power(item)) {
                if (!item->args[1]->is_integer_value(-1)) {
                    b.push_back(apow(item));
                } else {
                    const Expr base = item->args[0];
                    if (base->kind == Kind::Mul || base->kind == Kind::Pow)
                        pow_paren.push_back(item);
                    b.push_back(base);
                }
            } else if (item->is_rational()) {
                if (item->p != 1) a.push_back(pool_.integer(item->p));
                if (item->q != 1) b.push_back(pool_.integer(item->q));
            } else {
                a.push_back(item);
            }
        }
        if (a.empty()) a.push_back(pool_.integer(1));

        // A base inverted from a power -1, a product or power itself, in parentheses of its
        // own (each such power wraps the first equal item once more).
        std::vector<int> wraps;
        for (Expr item : pow_paren) {
            auto at = std::find(b.begin(), b.end(), item->args[0]);
            if (at == b.end()) continue;
            wraps.resize(b.size());
            ++wraps[at - b.begin()];
        }

        print_factors(a, prec, out);
        if (b.empty()) return;
        out += b.size() == 1 ? "/" : "/(";
        print_factors(b, prec, out, wraps);
        if (b.size() > 1) out += ')';
    }

    // The denominator form of b**e, e with a negative coefficient: b**(-e) unevaluated.
    Expr apow(Expr item) {
        Expr base = item->args[0], exp = item->args[1];
        if (base->kind == Kind::Rational && base->p == 1) {  // Pow.as_base_exp
            base = pool_.integer(base->q);
            exp = negate(exp);
        }
        std::vector<Expr> eargs;
        if (exp->kind == Kind::Mul)
            eargs.assign(exp->args.begin(), exp->args.end());
        else
            eargs.push_back(exp);
        if (eargs[0]->is_integer_value(-1))
            eargs.erase(eargs.begin());
        else
            eargs[0] = negate(eargs[0]);
        return pool_.make(Kind::Pow, std::vector<Expr>{base, make(Kind::Mul, eargs)});
    }

    void print_unevaluated_mul(Expr e, int prec, std::string& out) {
        std::vector<Expr> d, n;
        for (Expr a : e->args) (inverted_power(a) ? d : n).push_back(a);
        for (Expr& di : d) {
            const Expr exp = di->args[1];
            Expr inverted;
            if (exp->is_Number()) {
                inverted = negate(exp);
            } else {
                std::vector<Expr> dargs(exp->args.begin(), exp->args.end());
                dargs[0] = negate(dargs[0]);
                inverted = make(Kind::Mul, dargs);
            }
            // `Pow(base, e) if e - 1 else base`: only a number equal to 1 is false.
            const bool one = inverted->is_integer_value(1) ||
                             (inverted->kind == Kind::Float && inverted->value == 1.0);
            di =
                one ? di->args[0] : pool_.make(Kind::Pow, std::vector<Expr>{di->args[0], inverted});
        }
        // The leading factor keeps its sign unparenthesized (in the denominator only when it
        // has company).
        std::size_t written = 0;
        auto separate = [&] {
            if (written++) out += '*';
        };
        std::size_t from = 0;
        if (!n.empty() && n[0]->kind != Kind::Add && could_extract_minus_sign(n[0])) {
            separate();
            print(n[0], out);
            from = 1;
        }
        for (std::size_t k = from; k < n.size(); ++k) separate(), parenthesize(n[k], prec, out);
        if (written == 0) out += '1';
        if (d.empty()) return;
        out += d.size() > 1 ? "/(" : "/";
        written = from = 0;
        if (d.size() > 1 && could_extract_minus_sign(d[0])) {
            separate();
            print(d[0], out);
            from = 1;
        }
        for (std::size_t k = from; k < d.size(); ++k) separate(), parenthesize(d[k], prec, out);
        if (d.size() > 1) out += ')';
    }

    Orders& orders_;
    Pool& pool_;
    int level_ = 0;
};

}  // namespace

long str_fallbacks() { return fallback_count; }

std::string str(Pool& pool, Oracle& oracle, Expr e) {
    Orders orders(pool, oracle);
    try {
        std::string out;
        Printer(orders).print(e, out);
        return out;
    } catch (const Unsupported&) {
        ++fallback_count;
        return oracle.str(e);
    }
}

}  // namespace kt::symbolic
