#include "symbolic/program.hpp"

#include <cmath>
#include <string>
#include <unordered_map>

#include "symbolic/order.hpp"
#include "symbolic/rename.hpp"

namespace kt::symbolic {

namespace {

// numpy's loop for each function the printer maps to numpy (Abs is Python's abs).
Loop loop_of(Fn fn) {
    switch (fn) {
        case Fn::exp:
            return Loop::exp;
        case Fn::log:
            return Loop::log;
        case Fn::sin:
            return Loop::sin;
        case Fn::cos:
            return Loop::cos;
        case Fn::tan:
            return Loop::tan;
        case Fn::asin:
            return Loop::arcsin;
        case Fn::acos:
            return Loop::arccos;
        case Fn::atan:
            return Loop::arctan;
        case Fn::sinh:
            return Loop::sinh;
        case Fn::cosh:
            return Loop::cosh;
        case Fn::tanh:
            return Loop::tanh;
        case Fn::asinh:
            return Loop::arcsinh;
        case Fn::acosh:
            return Loop::arccosh;
        case Fn::atanh:
            return Loop::arctanh;
        case Fn::Abs:
            break;
    }
    return Loop::absolute;
}

// A node the printer does not know, or a symbol that is no argument.
struct NoProgram {};

bool negative_number(Expr e) {
    switch (e->kind) {
        case Kind::Integer:
        case Kind::Rational:
            return e->p < 0;
        case Kind::Float:
            return e->value < 0;
        default:
            return false;
    }
}

}  // namespace

class Compiler {
public:
    Compiler(Builder& builder, std::span<const Expr> syms, std::vector<Program::Step>& out)
        : b_(builder), out_(out) {
        for (std::size_t k = 0; k < syms.size(); ++k) index_.emplace(syms[k], (int)k);
    }

    int expr(Expr e, int depth) {
        if (depth > kMaxDepth) throw NoProgram{};
        switch (e->kind) {
            case Kind::Symbol: {
                auto found = index_.find(e);
                if (found == index_.end()) throw NoProgram{};
                return emit({Program::Op::Symbol, Loop::exp, -1, -1, found->second});
            }
            case Kind::Integer:
                return integer(e->p);
            case Kind::Rational:
                return rational(e);
            case Kind::Float:
                return real(e->value);
            case Kind::Pi:
                return real(3.141592653589793);
            case Kind::Exp1:
                return real(2.718281828459045);
            case Kind::Add:
                return add(e, depth);
            case Kind::Mul: {
                bool negative = false;
                const int unsigned_part = mul_unsigned(e, negative, depth);
                return negative ? unary(Program::Op::Neg, unsigned_part) : unsigned_part;
            }
            case Kind::Pow:
                return power(e->args[0], e->args[1], depth);
            case Kind::Function: {
                const int arg = expr(e->args[0], depth + 1);
                if (e->fn == Fn::Abs) return unary(Program::Op::Abs, arg);
                return call(loop_of(e->fn), arg);
            }
        }
        throw NoProgram{};
    }

private:
    int emit(Program::Step s) {
        out_.push_back(s);
        return (int)out_.size() - 1;
    }
    int integer(std::int64_t p) { return emit({Program::Op::Int, Loop::exp, -1, -1, p}); }
    int real(double x) { return emit({Program::Op::Float, Loop::exp, -1, -1, 0, x}); }
    int unary(Program::Op op, int a) { return emit({op, Loop::exp, a}); }
    int call(Loop loop, int a) { return emit({Program::Op::Call, loop, a}); }
    int binary(Program::Op op, int a, int b) { return emit({op, Loop::exp, a, b}); }
    int rational(Expr e) { return binary(Program::Op::Div, integer(e->p), integer(e->q)); }

    // An exponent as printed: integers as ints, rationals as p/q, floats as floats.
    int exponent(Expr e, int depth) { return expr(e, depth + 1); }

    int power(Expr base, Expr exp, int depth) {
        if (exp->kind == Kind::Integer && exp->p < 0) {
            const int b = expr(base, depth + 1);
            return binary(Program::Op::Pow, b, real((double)exp->p));
        }
        if (exp->kind == Kind::Rational && exp->q == 2 && (exp->p == 1 || exp->p == -1)) {
            const int root = call(Loop::sqrt, expr(base, depth + 1));
            if (exp->p == 1) return root;
            return binary(Program::Op::Div, integer(1), root);
        }
        const int b = expr(base, depth + 1);
        return binary(Program::Op::Pow, b, exponent(exp, depth));
    }

    // `_keep_coeff(coeff, rest)` for a positive number: the product with that coefficient.
    Expr keep_coeff(Expr coeff, std::span<const Expr> rest) {
        if (coeff->is_integer_value(1)) {
            if (rest.size() == 1) return rest[0];
            return b_.pool().make(Kind::Mul, rest);
        }
        std::vector<Expr> args{coeff};
        if (rest.size() == 1) {
            Expr only = rest[0];
            if (only->kind == Kind::Add || only->is_Number()) throw NoProgram{};
            // A number times a symbol, pi, E or a function call stays that product.
            if (only->kind == Kind::Symbol || only->kind == Kind::Function ||
                only->kind == Kind::Pi || only->kind == Kind::Exp1) {
                args.push_back(only);
                return b_.pool().make(Kind::Mul, args);
            }
            return b_.times(coeff, only);
        }
        if (rest[0]->is_Number()) throw NoProgram{};
        args.insert(args.end(), rest.begin(), rest.end());
        return b_.pool().make(Kind::Mul, args);
    }

    // A product as `[-]a0*a1*.../b0` or `/(b0*b1*...)`: negative rational powers go below.
    int mul_unsigned(Expr e, bool& negative, int depth) {
        Expr product = e;
        negative = e->args[0]->is_Number() && negative_number(e->args[0]);
        if (negative) product = keep_coeff(b_.negate(e->args[0]), e->args.subspan(1));
        std::vector<Expr> factors = product->kind == Kind::Mul
                                        ? ordered_factors(b_.pool(), b_.oracle(), product)
                                        : std::vector<Expr>{product};
        std::vector<int> above, below;
        for (Expr f : factors) {
            if (f->kind == Kind::Pow && f->args[1]->is_rational() && f->args[1]->p < 0) {
                Expr fexp = f->args[1];
                if (fexp->is_integer_value(-1)) {
                    below.push_back(expr(f->args[0], depth + 1));
                } else {
                    below.push_back(power(f->args[0], b_.negate(fexp), depth));
                }
                continue;
            }
            above.push_back(expr(f, depth + 1));
        }
        if (above.empty()) above.push_back(integer(1));
        int num = above[0];
        for (std::size_t k = 1; k < above.size(); ++k)
            num = binary(Program::Op::Mul, num, above[k]);
        if (below.empty()) return num;
        int den = below[0];
        for (std::size_t k = 1; k < below.size(); ++k)
            den = binary(Program::Op::Mul, den, below[k]);
        return binary(Program::Op::Div, num, den);
    }

    // Terms in printing order; a term printed with a leading minus is subtracted.
    int add(Expr e, int depth) {
        const std::vector<Expr> terms = ordered_terms(b_.pool(), b_.oracle(), e);
        int total = -1;
        for (Expr t : terms) {
            bool negative = false;
            int n;
            if (t->kind == Kind::Mul) {
                n = mul_unsigned(t, negative, depth + 1);
            } else if (t->is_Number() && negative_number(t)) {
                negative = true;
                n = expr(b_.negate(t), depth + 1);
            } else {
                n = expr(t, depth + 1);
            }
            if (total < 0)
                total = negative ? unary(Program::Op::Neg, n) : n;
            else
                total = binary(negative ? Program::Op::Sub : Program::Op::Add, total, n);
        }
        return total;
    }

    Builder& b_;
    std::vector<Program::Step>& out_;
    std::unordered_map<Expr, int> index_;
};

std::optional<Program> Program::compile_as_given(Builder& builder, Expr e,
                                                 std::span<const Expr> syms) {
    Program program;
    try {
        Compiler(builder, syms, program.steps_).expr(e, 0);
    } catch (const NoProgram&) {
        return std::nullopt;
    }
    return program;
}

std::optional<Program> Program::compile(Builder& builder, Expr e, std::span<const Expr> syms) {
    Pool& pool = builder.pool();
    const std::vector<Expr> free = sorted_symbols(e);
    Renaming mapping;
    std::vector<Expr> dummies;
    const std::size_t n = syms.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::string name = "Dummy_" + std::to_string(10000 + n - 1 - k);
        for (Expr s : free)
            if (*s->name == name) return std::nullopt;  // a name clash
        Expr d = pool.symbol(name);
        mapping.emplace(syms[k], d);
        dummies.push_back(d);
    }
    return compile_as_given(builder, rename(builder, e, mapping), dummies);
}

namespace {

using V = Value;

V scalar_of(Value::Kind kind, double x) {
    V v;
    v.kind = kind;
    v.x = x;
    return v;
}

double as_double(const V& v) { return v.kind == V::Int ? (double)v.i : v.x; }

bool odd_integer(double w) { return std::fmod(w, 2.0) != 0.0 && w == std::floor(w); }

// Python's float ** float for finite operands; nothing where Python raises or turns complex.
std::optional<double> python_pow(double v, double w) {
    if (!std::isfinite(v) || !std::isfinite(w)) return std::nullopt;
    if (w == 0.0) return 1.0;
    if (v == 0.0) {
        if (w < 0.0) return std::nullopt;
        return odd_integer(w) ? v : 0.0;
    }
    bool negate = false;
    if (v < 0.0) {
        if (w != std::floor(w)) return std::nullopt;
        v = -v;
        negate = odd_integer(w);
    }
    if (v == 1.0) return negate ? -1.0 : 1.0;
    double r = std::pow(v, w);
    if (std::isinf(r)) return std::nullopt;
    return negate ? -r : r;
}

std::optional<V> python_binary(Program::Op op, const V& a, const V& b) {
    if (a.kind == V::Int && b.kind == V::Int) {
        V r;
        r.kind = V::Int;
        bool overflow = false;
        switch (op) {
            case Program::Op::Add:
                overflow = __builtin_add_overflow(a.i, b.i, &r.i);
                break;
            case Program::Op::Sub:
                overflow = __builtin_sub_overflow(a.i, b.i, &r.i);
                break;
            case Program::Op::Mul:
                overflow = __builtin_mul_overflow(a.i, b.i, &r.i);
                break;
            case Program::Op::Div: {
                constexpr std::int64_t exact = std::int64_t(1) << 53;
                if (b.i == 0 || a.i > exact || a.i < -exact || b.i > exact || b.i < -exact)
                    return std::nullopt;
                return scalar_of(V::Float, (double)a.i / (double)b.i);
            }
            default: {
                if (b.i < 0) {
                    auto p = python_pow((double)a.i, (double)b.i);
                    if (!p) return std::nullopt;
                    return scalar_of(V::Float, *p);
                }
                std::int64_t result = 1, base = a.i, e = b.i;
                while (e > 0 && !overflow) {
                    if (e & 1) overflow = __builtin_mul_overflow(result, base, &result);
                    e >>= 1;
                    if (e > 0 && !overflow) overflow = __builtin_mul_overflow(base, base, &base);
                }
                r.i = result;
            }
        }
        if (overflow || r.i == INT64_MIN) return std::nullopt;
        return r;
    }
    const double x = as_double(a), y = as_double(b);
    switch (op) {
        case Program::Op::Add:
            return scalar_of(V::Float, x + y);
        case Program::Op::Sub:
            return scalar_of(V::Float, x - y);
        case Program::Op::Mul:
            return scalar_of(V::Float, x * y);
        case Program::Op::Div:
            if (y == 0.0) return std::nullopt;
            return scalar_of(V::Float, x / y);
        default: {
            auto p = python_pow(x, y);
            if (!p) return std::nullopt;
            return scalar_of(V::Float, *p);
        }
    }
}

// x op y as numpy's loops compute it: IEEE's value, and where an operand is NaN, the first NaN
// operand itself (the compiler may swap the operands of + and *, which changes which NaN wins).
double arith(Program::Op op, double x, double y) {
    if (std::isnan(x)) return x;
    if (std::isnan(y)) return y;
    switch (op) {
        case Program::Op::Add:
            return x + y;
        case Program::Op::Sub:
            return x - y;
        case Program::Op::Mul:
            return x * y;
        default:
            return x / y;
    }
}

// Arithmetic with an array or a numpy scalar: IEEE operations, numpy's power loop, and the
// shortcuts `array ** python_scalar` takes (reciprocal, square, sqrt).
V numpy_binary(const Backend& math, Program::Op op, const V& a, const V& b, std::size_t n) {
    const bool array = a.kind == V::Array || b.kind == V::Array;
    const bool arithmetic = op != Program::Op::Pow;
    if (!array) {
        const double x = as_double(a), y = as_double(b);
        return scalar_of(V::Scalar, arithmetic ? arith(op, x, y) : std::pow(x, y));
    }
    V r;
    r.kind = V::Array;
    r.array.resize(n);
    const double sa = a.kind == V::Array ? 0.0 : as_double(a);
    const double sb = b.kind == V::Array ? 0.0 : as_double(b);
    const double* pa = a.kind == V::Array ? a.array.data() : &sa;
    const double* pb = b.kind == V::Array ? b.array.data() : &sb;
    const std::size_t da = a.kind == V::Array, db = b.kind == V::Array;
    double* out = r.array.data();
    if (arithmetic) {
        for (std::size_t k = 0; k < n; ++k) out[k] = arith(op, pa[k * da], pb[k * db]);
        return r;
    }
    if (a.kind == V::Array && b.kind == V::Int && (b.i == -1 || b.i == 2)) {
        math.unary(b.i == 2 ? Loop::square : Loop::reciprocal, pa, out, n);
        return r;
    }
    if (a.kind == V::Array && b.kind == V::Float && b.x == 0.5) {
        math.unary(Loop::sqrt, pa, out, n);
        return r;
    }
    math.power(pa, !da, pb, !db, out, n);
    return r;
}

}  // namespace

std::optional<Value> Program::run(const Backend& math,
                                  std::span<const std::span<const double>> arrays,
                                  std::size_t n) const {
    std::vector<V> values(steps_.size());
    for (std::size_t k = 0; k < steps_.size(); ++k) {
        const Step& s = steps_[k];
        V& out = values[k];
        switch (s.op) {
            case Op::Int:
                out.kind = V::Int;
                out.i = s.i;
                continue;
            case Op::Float:
                out = scalar_of(V::Float, s.x);
                continue;
            case Op::Symbol: {
                const auto& track = arrays[(std::size_t)s.i];
                if (track.size() != n) return std::nullopt;
                out.kind = V::Array;
                out.array.assign(track.begin(), track.end());
                continue;
            }
            default:
                break;
        }
        const V& a = values[(std::size_t)s.a];
        if (s.op == Op::Neg || s.op == Op::Abs) {
            out = a;
            if (a.kind == V::Int) {
                if (a.i == INT64_MIN) return std::nullopt;
                out.i = s.op == Op::Neg ? -a.i : std::llabs(a.i);
            } else if (a.kind == V::Array) {
                for (double& x : out.array) x = s.op == Op::Neg ? -x : std::fabs(x);
            } else {
                out.x = s.op == Op::Neg ? -a.x : std::fabs(a.x);
            }
            continue;
        }
        if (s.op == Op::Call) {
            if (a.kind == V::Array) {
                out.kind = V::Array;
                out.array.resize(n);
                math.unary(s.loop, a.array.data(), out.array.data(), n);
            } else {
                const double x = as_double(a);
                double y = 0.0;
                math.unary(s.loop, &x, &y, 1);
                out = scalar_of(V::Scalar, y);
            }
            continue;
        }
        const V& b = values[(std::size_t)s.b];
        const bool python =
            (a.kind == V::Int || a.kind == V::Float) && (b.kind == V::Int || b.kind == V::Float);
        if (python) {
            auto r = python_binary(s.op, a, b);
            if (!r) return std::nullopt;
            out = std::move(*r);
        } else {
            out = numpy_binary(math, s.op, a, b, n);
        }
    }
    if (values.empty()) return std::nullopt;
    return std::move(values.back());
}

}  // namespace kt::symbolic
