// The behaviour `describe` gives a run's structure, computed natively: what a structure's block
// shows of its formula.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/py.hpp"
#include "symbolic/behaviour.hpp"

namespace kt {

// The behaviour fields of `describe(formula)` after `np.random.seed(formula_seed(seed, formula,
// text))`, `text` being str(formula); nothing where the native path leaves the formula to sympy
// or numpy (a tree it does not hold, a formula without symbols, a step it does not decide).
// numpy's global generator is left as it was.
std::optional<symbolic::Behaviour> seeded_behaviour(handle formula, std::uint32_t seed,
                                                    const std::string& text);

}  // namespace kt
