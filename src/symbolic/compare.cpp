#include "symbolic/compare.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

namespace kt::symbolic {

namespace {

// sympy's `ordering_of_classes`, as far as it names classes a tree holds (the functions are
// there under other names, "Sin" for sin, and so count as unlisted, except Abs).
constexpr std::string_view kOrdered[] = {
    "Zero",    "One",      "Half",  "Infinity", "NaN",        "NegativeOne",   "NegativeInfinity",
    "Integer", "Rational", "Float", "Exp1",     "Pi",         "ImaginaryUnit", "Symbol",
    "Wild",    "Pow",      "Mul",   "Add",      "Derivative", "Integral",      "Abs"};
constexpr int kUnlisted = 1000;

int place(std::string_view name) {
    for (int k = 0; k < (int)std::size(kOrdered); ++k)
        if (kOrdered[k] == name) return k;
    return kUnlisted;
}

template <class T>
int three_way(const T& a, const T& b) {
    return (a > b) - (a < b);
}

int compare_names(std::string_view a, std::string_view b) {
    if (a == b) return 0;
    const int i = place(a), j = place(b);
    if (i == kUnlisted && j == kUnlisted) return three_way(a, b);
    return three_way(i, j);
}

int compare_floats(double a, double b) {
    const Mpf x = mpf_of(a), y = mpf_of(b);
    if (int c = three_way(x.sign, y.sign)) return c;
    if (int c = three_way(x.man, y.man)) return c;
    if (int c = three_way(x.exp, y.exp)) return c;
    return three_way(x.bc, y.bc);  // then the precisions, which are equal
}

}  // namespace

Mpf mpf_of(double value) {
    if (value == 0.0) return {0, 0, 0, 0};
    Mpf m{};
    m.sign = std::signbit(value) ? 1 : 0;
    int e = 0;
    const double fraction = std::frexp(std::fabs(value), &e);  // in [0.5, 1)
    std::uint64_t man = (std::uint64_t)std::ldexp(fraction, 53);
    std::int64_t exp = (std::int64_t)e - 53;
    const int zeros = std::countr_zero(man);
    man >>= zeros;
    exp += zeros;
    m.man = man;
    m.exp = exp;
    m.bc = 64 - std::countl_zero(man);
    return m;
}

int compare(Expr a, Expr b) {
    if (a == b) return 0;
    if (int c = compare_names(class_name(a), class_name(b))) return c;
    // The same class: its hashable content, first its length, then item by item.
    switch (a->kind) {
        case Kind::Integer:
            return three_way(a->p, b->p);
        case Kind::Rational:
            if (int c = three_way(a->p, b->p)) return c;
            return three_way(a->q, b->q);
        case Kind::Float:
            return compare_floats(a->value, b->value);
        case Kind::Symbol:
            return three_way(std::string_view(*a->name), std::string_view(*b->name));
        case Kind::Pi:
        case Kind::Exp1:
            return 0;
        default:
            break;
    }
    if (int c = three_way(a->args.size(), b->args.size())) return c;
    for (std::size_t k = 0; k < a->args.size(); ++k)
        if (int c = compare(a->args[k], b->args[k])) return c;
    return 0;
}

}  // namespace kt::symbolic
