// How a formula behaves numerically, the behaviour fields of a descriptor computed as the
// numpy code of `extract_behavior` computes them, to the bit: sample tracks drawn as
// `np.random.default_rng(0)` draws them, the formula's compiled program run on them, numpy's
// reductions, and the sensitivity noise of numpy's legacy generator.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "symbolic/program.hpp"

namespace kt::symbolic {

struct Behaviour {
    Doubles behavior_vec;
    bool is_bounded = false;
    double boundedness = 0.0;
    bool is_periodic = false;
    bool is_monotone = false;
    double variance = 0.0;
    double derivative_approx = 0.0;
    double integral_approx = 0.0;
    double stability_score = 0.0;
    double sensitivity_perturbation = 0.0;
    std::string growth_class;
    double frac_invalid = 0.0;
    // Whether numpy left is_monotone / is_bounded as numpy booleans (numpy's all, or a
    // comparison of numpy scalars) rather than Python's.
    bool monotone_is_numpy = false;
    bool bounded_is_numpy = false;
};

// A variable's sampling range (by its index among the sorted symbols), as floats.
using Range = std::optional<std::pair<double, double>>;

struct BehaviourInput {
    Expr expr;                          // the formula as given (not renamed)
    std::vector<Range> ranges;          // by symbol index; missing or empty: none
    Doubles grid;                       // GRID
    std::vector<std::uint32_t> seed;    // the key `np.random.seed` was given
    // `float(expr)` of a formula without symbols; nothing where it raises.
    std::function<std::optional<double>(Expr)> constant_value;
    // The formula's program over its sorted symbols (`Program::compile`), when compiled
    // already; else it is compiled here.
    const Program* program = nullptr;
};

// The sampled values and their coordinate (`_eval_safe` with seed 0). Throws Unsupported where
// the evaluation is left to sympy (a Python error in the generated code, a tie among sampled
// coordinates, more draws than were taken, bounds that are not finite).
std::pair<Doubles, Doubles> eval_safe(Builder& builder, const Backend& math,
                                      const BehaviourInput& in);

// `growth_class(vals)` of finite values.
std::string growth_class(std::span<const double> vals);

// The behaviour fields (`extract_behavior`, after `np.random.seed(in.seed)`).
Behaviour extract_behaviour(Builder& builder, const Backend& math, const BehaviourInput& in);

}  // namespace kt::symbolic
