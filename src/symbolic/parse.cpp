#include "symbolic/parse.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "symbolic/lexer.hpp"

namespace kt::symbolic {

namespace {

// The bank functions read natively and what each is built as.
enum class Call : std::uint8_t { Function, Sqrt, Square, Cube, Neg, Inv, Pow };

struct BankFunction {
    std::string_view name;
    Call call;
    Fn fn = Fn::exp;
};

constexpr BankFunction kBankFunctions[] = {
    {"exp", Call::Function, Fn::exp},
    {"log", Call::Function, Fn::log},
    {"ln", Call::Function, Fn::log},
    {"sqrt", Call::Sqrt},
    {"abs", Call::Function, Fn::Abs},
    {"Abs", Call::Function, Fn::Abs},
    {"sin", Call::Function, Fn::sin},
    {"cos", Call::Function, Fn::cos},
    {"tan", Call::Function, Fn::tan},
    {"asin", Call::Function, Fn::asin},
    {"arcsin", Call::Function, Fn::asin},
    {"acos", Call::Function, Fn::acos},
    {"arccos", Call::Function, Fn::acos},
    {"atan", Call::Function, Fn::atan},
    {"arctan", Call::Function, Fn::atan},
    {"sinh", Call::Function, Fn::sinh},
    {"cosh", Call::Function, Fn::cosh},
    {"tanh", Call::Function, Fn::tanh},
    {"asinh", Call::Function, Fn::asinh},
    {"arcsinh", Call::Function, Fn::asinh},
    {"acosh", Call::Function, Fn::acosh},
    {"arccosh", Call::Function, Fn::acosh},
    {"atanh", Call::Function, Fn::atanh},
    {"arctanh", Call::Function, Fn::atanh},
    {"square", Call::Square},
    {"cube", Call::Cube},
    {"neg", Call::Neg},
    {"inv", Call::Inv},
    {"pow", Call::Pow},
};

const BankFunction* bank_function(std::string_view name) {
    for (const BankFunction& f : kBankFunctions)
        if (f.name == name) return &f;
    return nullptr;
}

// The syntax tree of the expression, as Python's parser makes it of the accepted tokens.
enum class Syntax : std::uint8_t { Name, Int, Float, Neg, Pos, Add, Sub, Mul, Div, Pow, Call };

struct SyntaxNode {
    Syntax kind;
    const Token* token = nullptr;  // Name, Int, Float, Call: the name or literal
    int kids[2] = {-1, -1};        // no native bank function takes more than two arguments
    int count = 0;

    std::span<const int> children() const { return {kids, (std::size_t)count}; }
};

bool additive(Syntax s) { return s == Syntax::Add || s == Syntax::Sub; }
bool multiplicative(Syntax s) { return s == Syntax::Mul || s == Syntax::Div; }

// The reader's own recursion (a few levels per parenthesis or call): deeper than any text the
// builder's depth bound lets through, shallower than Python's parser allows.
constexpr int kMaxReaderLevel = 6 * kMaxNativeDepth;

// Python's expression grammar for these tokens:
//   sum: sum ('+'|'-') term | term          term: term ('*'|'/') factor | factor
//   factor: ('+'|'-') factor | power        power: primary '**' factor | primary
//   primary: NAME '(' args [','] ')' | NAME | NUMBER | '(' sum ')'
// Nothing where the tokens do not follow it, or nest beyond the native bound.
class Reader {
public:
    Reader(const std::vector<Token>& tokens, std::size_t start) : tokens_(tokens), at_(start) {
        nodes.reserve(tokens.size());
    }

    std::optional<int> read_all() {
        auto root = sum(0);
        if (!root || peek() != Tok::End) return std::nullopt;
        return root;
    }

    std::vector<SyntaxNode> nodes;

private:
    Tok peek() const { return tokens_[at_].kind; }

    int add(Syntax kind, const Token* token, std::initializer_list<int> kids) {
        SyntaxNode n{kind, token};
        for (int kid : kids) n.kids[n.count++] = kid;
        nodes.push_back(n);
        return (int)nodes.size() - 1;
    }

    std::optional<int> sum(int level) {
        if (level > kMaxReaderLevel) return std::nullopt;
        auto left = term(level + 1);
        while (left && (peek() == Tok::Plus || peek() == Tok::Minus)) {
            const Syntax op = peek() == Tok::Plus ? Syntax::Add : Syntax::Sub;
            ++at_;
            auto right = term(level + 1);
            if (!right) return std::nullopt;
            left = add(op, nullptr, {*left, *right});
        }
        return left;
    }

    std::optional<int> term(int level) {
        auto left = factor(level + 1);
        while (left && (peek() == Tok::Star || peek() == Tok::Slash)) {
            const Syntax op = peek() == Tok::Star ? Syntax::Mul : Syntax::Div;
            ++at_;
            auto right = factor(level + 1);
            if (!right) return std::nullopt;
            left = add(op, nullptr, {*left, *right});
        }
        return left;
    }

    std::optional<int> factor(int level) {
        if (level > kMaxReaderLevel) return std::nullopt;
        if (peek() == Tok::Plus || peek() == Tok::Minus) {
            const Syntax op = peek() == Tok::Plus ? Syntax::Pos : Syntax::Neg;
            ++at_;
            auto operand = factor(level + 1);
            if (!operand) return std::nullopt;
            return add(op, nullptr, {*operand});
        }
        auto base = primary(level + 1);
        if (!base || peek() != Tok::Power) return base;
        ++at_;
        auto exponent = factor(level + 1);
        if (!exponent) return std::nullopt;
        return add(Syntax::Pow, nullptr, {*base, *exponent});
    }

    std::optional<int> primary(int level) {
        const Token* token = &tokens_[at_];
        std::optional<int> made;
        switch (token->kind) {
            case Tok::Int:
                ++at_;
                made = add(Syntax::Int, token, {});
                break;
            case Tok::Float:
                ++at_;
                made = add(Syntax::Float, token, {});
                break;
            case Tok::Name:
                ++at_;
                if (peek() != Tok::LParen) {
                    made = add(Syntax::Name, token, {});
                    break;
                }
                ++at_;
                made = call(token, level);
                break;
            case Tok::LParen:
                ++at_;
                made = sum(level + 1);
                if (!made || peek() != Tok::RParen) return std::nullopt;
                ++at_;
                break;
            default:
                return std::nullopt;
        }
        // Calling what is not a bare name ((sin)(x), f(x)(y), 2(x)) is refused by the Python
        // parser, or read differently.
        if (made && peek() == Tok::LParen) return std::nullopt;
        return made;
    }

    // The arguments after `name(`: one or two, a trailing comma allowed.
    std::optional<int> call(const Token* name, int level) {
        SyntaxNode made{Syntax::Call, name};
        while (true) {
            auto arg = sum(level + 1);
            if (!arg || made.count == 2) return std::nullopt;
            made.kids[made.count++] = *arg;
            if (peek() == Tok::Comma) {
                ++at_;
                if (peek() == Tok::RParen) break;
                continue;
            }
            break;
        }
        if (peek() != Tok::RParen) return std::nullopt;
        ++at_;
        nodes.push_back(made);
        return (int)nodes.size() - 1;
    }

    const std::vector<Token>& tokens_;
    std::size_t at_;
};

// Whether the Python parser takes the names and calls as the native build does: no dunder
// names, only the bank functions read natively, each with the arguments it takes; and every
// node within the native depth, counted as the Python builder counts it (a chain of sums or of
// products is one level, however long).
bool readable(const std::vector<SyntaxNode>& nodes, int at, int depth) {
    if (depth > kMaxNativeDepth) return false;
    const SyntaxNode& n = nodes[(std::size_t)at];
    switch (n.kind) {
        case Syntax::Name: {
            const std::string_view name = n.token->text;
            return !(name.size() >= 2 && name.starts_with("__") && name.ends_with("__"));
        }
        case Syntax::Int:
        case Syntax::Float:
            return true;
        case Syntax::Add:
        case Syntax::Sub:
        case Syntax::Mul:
        case Syntax::Div: {
            // The chain's spine: its leftmost operand and every right operand one level down.
            const bool sum = additive(n.kind);
            int node = at;
            while (sum ? additive(nodes[(std::size_t)node].kind)
                       : multiplicative(nodes[(std::size_t)node].kind)) {
                if (!readable(nodes, nodes[(std::size_t)node].kids[1], depth + 1)) return false;
                node = nodes[(std::size_t)node].kids[0];
            }
            return readable(nodes, node, depth + 1);
        }
        case Syntax::Call: {
            const BankFunction* f = bank_function(n.token->text);
            if (!f) return false;
            const std::size_t arity = f->call == Call::Pow ? 2 : 1;
            if ((std::size_t)n.count != arity) return false;
            break;
        }
        default:
            break;
    }
    const std::span<const int> kids = n.children();
    return std::all_of(kids.begin(), kids.end(),
                       [&](int kid) { return readable(nodes, kid, depth + 1); });
}

// Bits of the larger of numerator and denominator of a rational, or of a product's rational
// coefficient; 0 for anything else (`_coefficient_bits`).
int coefficient_bits(Expr e) {
    if (e->kind == Kind::Mul) e = e->args[0];
    if (!e->is_rational()) return 0;
    const auto bits = [](std::int64_t v) {
        return (int)std::bit_width((std::uint64_t)std::llabs(v));
    };
    return std::max(bits(e->p), bits(e->q));
}

double number_value(Expr e) {
    return e->kind == Kind::Float ? e->value : (double)e->p / (double)e->q;
}

class Build {
public:
    Build(Builder& b, const std::vector<SyntaxNode>& nodes) : b_(b), nodes_(nodes) {}

    Expr node(int at) {
        const SyntaxNode& n = nodes_[(std::size_t)at];
        Pool& pool = b_.pool();
        switch (n.kind) {
            case Syntax::Name:
                return n.token->text == "pi" ? pool.pi() : pool.symbol(n.token->text);
            case Syntax::Int:
                return pool.integer(n.token->integer);
            case Syntax::Float:
                return pool.real(n.token->real);
            case Syntax::Neg:
                return b_.negate(node(n.kids[0]));
            case Syntax::Pos:
                return node(n.kids[0]);
            case Syntax::Add:
            case Syntax::Sub: {
                const Expr left = node(n.kids[0]);
                const Expr right = node(n.kids[1]);
                return numbers_operated(left, right,
                                        n.kind == Syntax::Add ? b_.plus(left, right)
                                                              : b_.minus(left, right));
            }
            case Syntax::Mul: {
                const Expr left = node(n.kids[0]);
                return product(left, node(n.kids[1]));
            }
            case Syntax::Div: {
                const Expr left = node(n.kids[0]);
                const Expr right = node(n.kids[1]);
                return product(left, power(right, pool.integer(-1)));
            }
            case Syntax::Pow: {
                const Expr base = node(n.kids[0]);
                return power(base, node(n.kids[1]));
            }
            case Syntax::Call:
                return call(n);
        }
        throw Unsupported("an unknown syntax node");
    }

private:
    Expr call(const SyntaxNode& n) {
        const BankFunction& f = *bank_function(n.token->text);
        const Expr a = node(n.kids[0]);
        switch (f.call) {
            case Call::Function:
                return b_.call(f.fn, a);
            case Call::Sqrt:
                return b_.sqrt(a);
            case Call::Square:
                return power(a, b_.pool().integer(2));
            case Call::Cube:
                return power(a, b_.pool().integer(3));
            case Call::Neg:
                return b_.negate(a);
            case Call::Inv:
                return power(a, b_.pool().integer(-1));
            case Call::Pow:
                return power(a, node(n.kids[1]));
        }
        throw Unsupported("an unknown bank function");
    }

    // The Python builder's bounded product: the rational coefficients' bits, far below its
    // bound for numbers of 64 bits, still checked as it checks them.
    Expr product(Expr a, Expr b) {
        if (coefficient_bits(a) + coefficient_bits(b) > kMaxNativeBits)
            throw Unsupported("a product near the bound on digits");
        return numbers_operated(a, b, b_.times(a, b));
    }

    // Two numbers added, subtracted or multiplied by Python's operators (Number.__add__, ...)
    // make a zero Float the Integer 0, where Add and Mul keep the Float when the other operand
    // is their identity (Add(0.0, 0) is 0.0, 0.0 + 0 is 0).
    Expr numbers_operated(Expr a, Expr b, Expr made) {
        if (a->is_Number() && b->is_Number() && made->kind == Kind::Float && made->value == 0)
            return b_.pool().integer(0);
        return made;
    }

    // The Python builder's bounded power: a numeric exponent, the exponents it multiplies in
    // the base's factors and the digits of the base's coefficient raised, each well inside its
    // bound (a power near one is left to the Python parser).
    Expr power(Expr base, Expr exponent) {
        if (exponent->is_Number()) {
            const double scale = std::fabs(number_value(exponent));
            if (scale > kMaxNativeExponent) throw Unsupported("an exponent near the bound");
            const std::span<const Expr> factors =
                base->kind == Kind::Mul ? base->args : std::span<const Expr>(&base, 1);
            for (Expr f : factors)
                if (f->kind == Kind::Pow && f->args[1]->is_Number() &&
                    std::fabs(number_value(f->args[1])) * scale > kMaxNativeExponent)
                    throw Unsupported("a power of a power near the bound");
            if (coefficient_bits(base) * std::max(scale, 1.0) > kMaxNativeBits)
                throw Unsupported("a power near the bound on digits");
        }
        return b_.pow(base, exponent);
    }

    Builder& b_;
    const std::vector<SyntaxNode>& nodes_;
};

// Nodes times distinct variables, as `_bounded` counts them, up to the native bound.
bool within_work(Expr e) {
    const std::size_t variables = sorted_symbols(e).size();
    if (variables <= 1) return true;
    std::size_t nodes = 0;
    std::vector<Expr> stack{e};
    while (!stack.empty()) {
        const Expr n = stack.back();
        stack.pop_back();
        if (++nodes * variables > kMaxNativeWork) return false;
        for (Expr a : n->args) stack.push_back(a);
    }
    return true;
}

// `lhs` as `tokenize.untokenize` gives it back, stripped: names and numbers followed by a
// space, operators as written.
std::string untokenized(const std::vector<Token>& tokens, std::size_t end) {
    std::string out;
    for (std::size_t k = 0; k < end; ++k) {
        out += tokens[k].text;
        if (tokens[k].kind == Tok::Name || tokens[k].kind == Tok::Int ||
            tokens[k].kind == Tok::Float)
            out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

std::optional<Parsed> parse_bank_formula(Builder& builder, std::string_view text) {
    if (text.size() > kMaxNativeText) return std::nullopt;
    if (std::count(text.begin(), text.end(), '+') + std::count(text.begin(), text.end(), '-') >=
        kMaxNativeSigns)
        return std::nullopt;
    auto tokens = tokenize(text);
    if (!tokens) return std::nullopt;
    // `lhs = rhs`: one `=` outside parentheses; the tokens before it are the lhs's text.
    std::optional<std::string> lhs;
    std::size_t start = 0;
    int depth = 0;
    for (std::size_t k = 0; k < tokens->size(); ++k) {
        const Token& t = (*tokens)[k];
        depth += (t.kind == Tok::LParen) - (t.kind == Tok::RParen);
        if (t.kind != Tok::Equals) continue;
        if (depth != 0 || start != 0) return std::nullopt;  // a keyword argument, a second `=`
        if (std::any_of(tokens->begin(), tokens->begin() + (std::ptrdiff_t)k,
                        [](const Token& b) { return b.after_line_break; }))
            return std::nullopt;
        std::string written = untokenized(*tokens, k);
        if (!written.empty()) lhs = std::move(written);
        start = k + 1;
    }
    Reader reader(*tokens, start);
    auto root = reader.read_all();
    if (!root || !readable(reader.nodes, *root, 0)) return std::nullopt;
    try {
        Build build(builder, reader.nodes);
        const Expr expr = build.node(*root);
        if (!within_work(expr)) return std::nullopt;
        return Parsed{std::move(lhs), expr};
    } catch (const Unsupported&) {
        return std::nullopt;
    }
}

}  // namespace kt::symbolic
