// Expression trees as sympy builds them, held natively: the node kinds of the formulas banks
// hold (numbers, symbols, pi and E, sums, products, powers and the elementary functions), each
// node immutable and interned by its pool, so that two equal trees are one pointer. Pure C++.
//
// A tree here stands for exactly one sympy expression: the same classes, the same arguments in
// the same order, the same numbers. What cannot be held so (a number beyond 64 bits, a Float of
// another precision, an infinity, a class not listed here) throws Unsupported, and the caller
// takes sympy's own path for that formula.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kt::symbolic {

// Something the native core does not hold or decide; the caller falls back on sympy.
struct Unsupported : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Kind : std::uint8_t {
    Integer,   // Integer, Zero, One, NegativeOne: `p`
    Rational,  // Rational, Half: `p`/`q` in lowest terms, q > 1
    Float,     // Float of 53 bits: `value`, finite, never -0.0
    Pi,        // pi
    Exp1,      // E
    Symbol,    // a plain Symbol (no assumptions): `name`
    Add,
    Mul,
    Pow,       // args: base, exponent
    Function,  // one of `Fn`, one argument
};

// The one-argument functions held natively, under their sympy class names.
enum class Fn : std::uint8_t {
    exp,
    log,
    sin,
    cos,
    tan,
    asin,
    acos,
    atan,
    sinh,
    cosh,
    tanh,
    asinh,
    acosh,
    atanh,
    Abs,
};
constexpr int kFunctionCount = 15;

// sympy's class name of a function, and the function of a class name.
const char* function_name(Fn fn);
std::optional<Fn> function_named(std::string_view name);

struct Node {
    Kind kind = Kind::Integer;
    Fn fn = Fn::exp;  // Function only
    std::int64_t p = 0, q = 1;
    double value = 0.0;
    const std::string* name = nullptr;  // Symbol: its name, owned by the pool
    std::span<const Node* const> args;
    std::size_t hash = 0;

    bool is_number() const { return kind <= Kind::Exp1; }  // Number or NumberSymbol node
    bool is_rational() const { return kind == Kind::Integer || kind == Kind::Rational; }
    // sympy's Number: Integer, Rational or Float (pi and E are NumberSymbols).
    bool is_Number() const { return kind <= Kind::Float; }
    bool is_integer_value(std::int64_t v) const { return kind == Kind::Integer && p == v; }
    bool is_atom() const { return kind <= Kind::Symbol; }
};

using Expr = const Node*;

// sympy's class name of a node: "Integer", "One", "Half", "Float", "Symbol", "Pow", "sin", ...
const char* class_name(Expr e);

// Owns the nodes of the trees made in it and interns them: a node with the same kind, payload
// and argument pointers as an earlier one is that node. Not thread-safe: one pool per worker.
class Pool {
public:
    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    Expr integer(std::int64_t p);
    // p/q in lowest terms (an integer when q divides p); throws Unsupported past 64 bits and
    // std::domain_error for q == 0.
    Expr rational(std::int64_t p, std::int64_t q);
    // A Float of 53 bits; throws Unsupported for infinities and NaN (sympy's Floats of those
    // are other classes). -0.0 is 0.0, as sympy has no negative zero.
    Expr real(double value);
    Expr pi();
    Expr e();
    Expr symbol(std::string_view name);
    // A sum, product, power or function node of these arguments as they are: no evaluation,
    // no reordering (the builder decides both).
    Expr make(Kind kind, std::span<const Expr> args);
    Expr function(Fn fn, Expr arg);

    std::size_t size() const { return nodes_.size(); }

private:
    struct Key {
        const Node* node;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const { return k.node->hash; }
    };
    struct KeyEqual {
        bool operator()(const Key& a, const Key& b) const;
    };

    Expr intern(Node&& candidate, std::span<const Expr> args);

    std::deque<Node> nodes_;
    std::deque<std::vector<Expr>> arg_lists_;
    std::unordered_set<std::string> names_;
    std::unordered_set<Key, KeyHash, KeyEqual> table_;
};

// The free symbols of a tree, sorted by name (`sorted(expr.free_symbols, key=str)`).
std::vector<Expr> sorted_symbols(Expr e);
// Whether the tree holds a symbol (sympy's `not expr.is_number` for the kinds held here).
bool has_symbols(Expr e);
// The nodes of the tree in pre-order (`preorder_traversal`), counted.
std::size_t node_count(Expr e);

}  // namespace kt::symbolic
