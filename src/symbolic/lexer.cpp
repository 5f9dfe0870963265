#include "symbolic/lexer.hpp"

#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <string>

namespace kt::symbolic {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

int digit_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Python's keywords: bank text may use them as variable names, which the Python parser maps to
// placeholders; the native parser leaves such text to it.
constexpr std::array<std::string_view, 35> kKeywords = {
    "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
    "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
    "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};

bool is_keyword(std::string_view name) {
    for (std::string_view k : kKeywords)
        if (k == name) return true;
    return false;
}

// Digits of `base` with single underscores between them, from `at`: the end of the run, or
// npos where an underscore is not followed by a digit (Python refuses that literal).
std::size_t digit_run(std::string_view text, std::size_t at, int base) {
    std::size_t k = at;
    if (k >= text.size() || digit_value(text[k]) >= base) return std::string_view::npos;
    while (k < text.size()) {
        if (digit_value(text[k]) < base) {
            ++k;
        } else if (text[k] == '_') {
            if (k + 1 >= text.size() || digit_value(text[k + 1]) >= base)
                return std::string_view::npos;
            ++k;
        } else {
            break;
        }
    }
    return k;
}

// The value of the digits of `base` in `digits` (underscores skipped); nothing past 63 bits.
std::optional<std::int64_t> integer_value(std::string_view digits, int base) {
    std::uint64_t v = 0;
    for (char c : digits) {
        if (c == '_') continue;
        const auto d = (std::uint64_t)digit_value(c);
        if (v > ((std::uint64_t)INT64_MAX - d) / (std::uint64_t)base) return std::nullopt;
        v = v * (std::uint64_t)base + d;
    }
    return (std::int64_t)v;
}

// A float literal as sympy's Float(text) reads it: at 53 bits when Decimal(text) has at most
// 15 digits (and, written without a point, its integer value at most 15 digits), rounded to
// nearest as mpmath rounds, which a correctly rounded decimal conversion matches in the range
// of normal doubles. Subnormal values, infinities and wider exponents are left to Python.
std::optional<double> float_value(std::string_view literal) {
    std::string without_underscores;
    if (literal.find('_') != std::string_view::npos) {
        for (char c : literal)
            if (c != '_') without_underscores += c;
        literal = without_underscores;
    }
    const std::size_t e = literal.find_first_of("eE");
    const std::string_view mantissa = literal.substr(0, e);
    long exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view ex = literal.substr(e + 1);
        const bool negative = !ex.empty() && ex[0] == '-';
        if (!ex.empty() && (ex[0] == '+' || ex[0] == '-')) ex.remove_prefix(1);
        while (ex.size() > 1 && ex[0] == '0') ex.remove_prefix(1);
        if (ex.size() > 3) return std::nullopt;  // Python bounds decimal exponents itself
        for (char c : ex) exponent = exponent * 10 + (c - '0');
        if (negative) exponent = -exponent;
    }
    // Decimal's digits: the mantissa's digits without leading zeros (one zero for zero).
    long count = 0, point_shift = 0;  // digits after the point
    bool after_point = false;
    for (char c : mantissa) {
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (after_point) ++point_shift;
        if (count > 0 || c != '0') ++count;
    }
    const bool zero = count == 0;
    if (count > 15) return std::nullopt;
    const long decimal_exponent = exponent - point_shift;
    if (!after_point && decimal_exponent >= 0 && !zero && count + decimal_exponent > 15)
        return std::nullopt;  // 12e20 is an integer of 23 digits to sympy, read at their precision
    double value = 0.0;
    const char* end = literal.data() + literal.size();
    const auto [stop, error] = std::from_chars(literal.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    if (zero) return 0.0;
    if (!std::isfinite(value) || std::fabs(value) < DBL_MIN) return std::nullopt;
    return value;
}

}  // namespace

std::optional<Token> number_literal(std::string_view text) {
    Token token;
    std::size_t k = 0;
    if (text.size() > 1 && text[0] == '0' &&
        std::string_view("xXoObB").find(text[1]) != std::string_view::npos) {
        const char kind = (char)(text[1] | 0x20);
        const int base = kind == 'x' ? 16 : kind == 'o' ? 8 : 2;
        // Python allows one underscore right after the prefix: 0x_1f.
        std::size_t start = 2;
        if (start < text.size() && text[start] == '_') ++start;
        k = digit_run(text, start, base);
        if (k == std::string_view::npos) return std::nullopt;
        if (k < text.size() && (is_name_char(text[k]) || text[k] == '.')) return std::nullopt;
        auto value = integer_value(text.substr(2, k - 2), base);
        if (!value) return std::nullopt;
        token.kind = Tok::Int;
        token.integer = *value;
        token.text = text.substr(0, k);
        return token;
    }
    bool is_float = false;
    if (text[0] != '.') {
        k = digit_run(text, 0, 10);
        if (k == std::string_view::npos) return std::nullopt;
    }
    if (k < text.size() && text[k] == '.') {
        is_float = true;
        ++k;
        if (k < text.size() && is_digit(text[k])) {
            k = digit_run(text, k, 10);
            if (k == std::string_view::npos) return std::nullopt;
        } else if (k == 1) {
            return std::nullopt;  // a lone point
        }
    }
    if (k < text.size() && (text[k] == 'e' || text[k] == 'E')) {
        is_float = true;
        ++k;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
        k = digit_run(text, k, 10);
        if (k == std::string_view::npos) return std::nullopt;
    }
    // A name character right after a literal (2x, 1_, 1j, 1if) or a second point: refused or
    // read otherwise by Python.
    if (k < text.size() && (is_name_char(text[k]) || text[k] == '.')) return std::nullopt;
    token.text = text.substr(0, k);
    if (is_float) {
        auto value = float_value(token.text);
        if (!value) return std::nullopt;
        token.kind = Tok::Float;
        token.real = *value;
        return token;
    }
    // Decimal integers have no leading zeros unless all digits are zeros (00, 0_0).
    if (token.text[0] == '0' && token.text.find_first_not_of("0_") != std::string_view::npos)
        return std::nullopt;
    auto value = integer_value(token.text, 10);
    if (!value) return std::nullopt;
    token.kind = Tok::Int;
    token.integer = *value;
    return token;
}

std::optional<std::vector<Token>> tokenize(std::string_view text) {
    std::vector<Token> out;
    out.reserve(text.size() / 2 + 2);
    int depth = 0;
    bool line_break = false, top_break = false;
    std::size_t k = 0;
    while (k < text.size()) {
        const char c = text[k];
        if (c == ' ' || c == '\t') {
            ++k;
            continue;
        }
        if (c == '\n') {
            // Outside parentheses a line break ends the expression: Python refuses a token
            // after it (leading and trailing breaks are stripped).
            if (depth == 0 && !out.empty()) top_break = true;
            line_break = true;
            ++k;
            continue;
        }
        if (top_break) return std::nullopt;
        Token token;
        const std::string_view rest = text.substr(k);
        if (is_name_start(c)) {
            std::size_t n = 1;
            while (n < rest.size() && is_name_char(rest[n])) ++n;
            token.kind = Tok::Name;
            token.text = rest.substr(0, n);
            if (is_keyword(token.text)) return std::nullopt;
        } else if (is_digit(c) || (c == '.' && rest.size() > 1 && is_digit(rest[1]))) {
            auto number = number_literal(rest);
            if (!number) return std::nullopt;
            token = *number;
        } else {
            const char next = rest.size() > 1 ? rest[1] : '\0';
            std::size_t n = 1;
            switch (c) {
                case '+':
                    token.kind = Tok::Plus;
                    break;
                case '-':
                    if (next == '>') return std::nullopt;
                    token.kind = Tok::Minus;
                    break;
                case '*':
                    if (next == '*') {
                        n = 2;
                        token.kind = Tok::Power;
                    } else {
                        token.kind = Tok::Star;
                    }
                    break;
                case '/':
                    if (next == '/') return std::nullopt;
                    token.kind = Tok::Slash;
                    break;
                case '^':
                    token.kind = Tok::Power;
                    break;
                case '(':
                    token.kind = Tok::LParen;
                    ++depth;
                    break;
                case ')':
                    token.kind = Tok::RParen;
                    if (--depth < 0) return std::nullopt;
                    break;
                case ',':
                    token.kind = Tok::Comma;
                    break;
                case '=':
                    if (next == '=') return std::nullopt;
                    token.kind = Tok::Equals;
                    break;
                default:
                    return std::nullopt;
            }
            // Augmented assignments (+=, **=, ^=, ...) are single tokens to Python.
            if (c != '(' && c != ')' && c != ',' && c != '=' && rest.size() > n && rest[n] == '=')
                return std::nullopt;
            token.text = rest.substr(0, n);
        }
        token.after_line_break = line_break;
        line_break = false;
        k += token.text.size();
        out.push_back(token);
    }
    if (depth != 0) return std::nullopt;
    out.push_back(Token{});
    return out;
}

}  // namespace kt::symbolic
