#include "symbolic/node.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>

namespace kt::symbolic {

namespace {

constexpr const char* kFunctionNames[kFunctionCount] = {"exp",  "log",   "sin",   "cos",   "tan",
                                                        "asin", "acos",  "atan",  "sinh",  "cosh",
                                                        "tanh", "asinh", "acosh", "atanh", "Abs"};

Node bare(Kind kind) {
    Node n;
    n.kind = kind;
    return n;
}

std::size_t mix(std::size_t h, std::size_t v) {
    return h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

std::size_t hash_of(const Node& n, std::span<const Expr> args) {
    std::size_t h = mix((std::size_t)n.kind, (std::size_t)n.fn);
    switch (n.kind) {
        case Kind::Integer:
        case Kind::Rational:
            h = mix(mix(h, (std::size_t)n.p), (std::size_t)n.q);
            break;
        case Kind::Float:
            h = mix(h, std::bit_cast<std::uint64_t>(n.value));
            break;
        case Kind::Symbol:
            h = mix(h, std::hash<std::string>()(*n.name));
            break;
        default:
            break;
    }
    for (Expr a : args) h = mix(h, std::hash<const void*>()(a));
    return h;
}

// |v| without overflow for the most negative value, which Unsupported refuses anyway.
std::int64_t gcd64(std::int64_t a, std::int64_t b) {
    if (a == INT64_MIN || b == INT64_MIN) throw Unsupported("an integer beyond 64 bits");
    return std::gcd(a, b);
}

void collect_symbols(Expr e, std::vector<Expr>& out) {
    if (e->kind == Kind::Symbol) {
        out.push_back(e);
        return;
    }
    for (Expr a : e->args) collect_symbols(a, out);
}

}  // namespace

const char* function_name(Fn fn) { return kFunctionNames[(int)fn]; }

std::optional<Fn> function_named(std::string_view name) {
    for (int k = 0; k < kFunctionCount; ++k)
        if (name == kFunctionNames[k]) return (Fn)k;
    return std::nullopt;
}

const char* class_name(Expr e) {
    switch (e->kind) {
        case Kind::Integer:
            return e->p == 0 ? "Zero" : e->p == 1 ? "One" : e->p == -1 ? "NegativeOne" : "Integer";
        case Kind::Rational:
            return e->p == 1 && e->q == 2 ? "Half" : "Rational";
        case Kind::Float:
            return "Float";
        case Kind::Pi:
            return "Pi";
        case Kind::Exp1:
            return "Exp1";
        case Kind::Symbol:
            return "Symbol";
        case Kind::Add:
            return "Add";
        case Kind::Mul:
            return "Mul";
        case Kind::Pow:
            return "Pow";
        case Kind::Function:
            return function_name(e->fn);
    }
    return "?";
}

bool Pool::KeyEqual::operator()(const Key& x, const Key& y) const {
    const Node& a = *x.node;
    const Node& b = *y.node;
    if (a.hash != b.hash || a.kind != b.kind || a.fn != b.fn || a.p != b.p || a.q != b.q ||
        a.args.size() != b.args.size())
        return false;
    if (a.kind == Kind::Float &&
        std::bit_cast<std::uint64_t>(a.value) != std::bit_cast<std::uint64_t>(b.value))
        return false;
    if (a.kind == Kind::Symbol && *a.name != *b.name) return false;
    return std::equal(a.args.begin(), a.args.end(), b.args.begin());
}

Expr Pool::intern(Node&& candidate, std::span<const Expr> args) {
    candidate.hash = hash_of(candidate, args);
    candidate.args = args;
    auto found = table_.find(Key{&candidate});
    if (found != table_.end()) return found->node;
    if (!args.empty()) {
        arg_lists_.emplace_back(args.begin(), args.end());
        candidate.args = std::span<const Expr>(arg_lists_.back());
    }
    nodes_.push_back(std::move(candidate));
    const Node* made = &nodes_.back();
    table_.insert(Key{made});
    return made;
}

Expr Pool::integer(std::int64_t p) {
    if (p == INT64_MIN) throw Unsupported("an integer beyond 64 bits");
    Node n = bare(Kind::Integer);
    n.p = p;
    return intern(std::move(n), {});
}

Expr Pool::rational(std::int64_t p, std::int64_t q) {
    if (q == 0) throw std::domain_error("a rational with denominator 0");
    if (q < 0) {
        if (p == INT64_MIN || q == INT64_MIN) throw Unsupported("an integer beyond 64 bits");
        p = -p, q = -q;
    }
    const std::int64_t g = gcd64(p, q);
    if (g > 1) p /= g, q /= g;
    if (q == 1) return integer(p);
    Node n = bare(Kind::Rational);
    n.p = p;
    n.q = q;
    return intern(std::move(n), {});
}

Expr Pool::real(double value) {
    if (!std::isfinite(value)) throw Unsupported("an infinite or undefined Float");
    Node n = bare(Kind::Float);
    n.value = value == 0.0 ? 0.0 : value;
    return intern(std::move(n), {});
}

Expr Pool::pi() { return intern(bare(Kind::Pi), {}); }

Expr Pool::e() { return intern(bare(Kind::Exp1), {}); }

Expr Pool::symbol(std::string_view name) {
    Node n = bare(Kind::Symbol);
    n.name = &*names_.emplace(name).first;
    return intern(std::move(n), {});
}

Expr Pool::make(Kind kind, std::span<const Expr> args) {
    if (kind != Kind::Add && kind != Kind::Mul && kind != Kind::Pow)
        throw std::invalid_argument("make: a sum, product or power");
    if (kind == Kind::Pow ? args.size() != 2 : args.size() < 2)
        throw std::invalid_argument("make: the wrong number of arguments");
    return intern(bare(kind), args);
}

Expr Pool::function(Fn fn, Expr arg) {
    Node n = bare(Kind::Function);
    n.fn = fn;
    return intern(std::move(n), std::span<const Expr>(&arg, 1));
}

std::vector<Expr> sorted_symbols(Expr e) {
    std::vector<Expr> found;
    collect_symbols(e, found);
    std::sort(found.begin(), found.end(), [](Expr a, Expr b) { return *a->name < *b->name; });
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

bool has_symbols(Expr e) {
    if (e->kind == Kind::Symbol) return true;
    return std::any_of(e->args.begin(), e->args.end(), has_symbols);
}

std::size_t node_count(Expr e) {
    std::size_t n = 1;
    for (Expr a : e->args) n += node_count(a);
    return n;
}

}  // namespace kt::symbolic
