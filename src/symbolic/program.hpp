// A formula compiled into the flat list of operations that the numpy code sympy would print for
// it performs, in that order: terms in printing order, factors in printing order split above and
// below the line, negative integer powers as float powers, square roots as np.sqrt, rationals as
// Python's p/q, numbers as Python ints and floats. Running it computes each operation as Python
// and numpy do for the kinds of value met (Python int, Python float, numpy float64 scalar,
// float64 array), with numpy's own loops, so that the values are the generated function's.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "symbolic/array_math.hpp"
#include "symbolic/backend.hpp"
#include "symbolic/build.hpp"

namespace kt::symbolic {

// A value met while running: what Python or numpy would hold.
struct Value {
    enum Kind : std::uint8_t { Int, Float, Scalar, Array };  // Scalar: a numpy float64
    Kind kind = Int;
    std::int64_t i = 0;
    double x = 0.0;
    Doubles array;
};

class Program {
public:
    enum class Op : std::uint8_t { Int, Float, Symbol, Neg, Abs, Call, Add, Sub, Mul, Div, Pow };
    struct Step {
        Op op;
        Loop loop = Loop::exp;  // Call
        int a = -1, b = -1;     // operands: earlier steps
        std::int64_t i = 0;     // Int; Symbol: its argument index
        double x = 0.0;         // Float
    };

    // The program of `e` over `syms` (in argument order) as the generated function sees it: its
    // symbols first renamed Dummy_<10000 + n - 1 - k> and the tree rebuilt, which re-sorts it.
    // Nothing where a node is not one the printer knows or a symbol is not an argument.
    static std::optional<Program> compile(Builder& builder, Expr e, std::span<const Expr> syms);
    // The same over the symbols as they are (no renaming).
    static std::optional<Program> compile_as_given(Builder& builder, Expr e,
                                                   std::span<const Expr> syms);

    // The value for one array of n values per symbol; nothing where Python would raise (a
    // division of Python numbers by zero, a float power that overflows or turns complex) or an
    // integer outgrows 64 bits.
    std::optional<Value> run(const Backend& math, std::span<const std::span<const double>> arrays,
                             std::size_t n) const;

    const std::vector<Step>& steps() const { return steps_; }

private:
    friend class Compiler;
    std::vector<Step> steps_;
};

}  // namespace kt::symbolic
