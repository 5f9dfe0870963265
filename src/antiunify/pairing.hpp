// Matching the arguments of a commutative operator by structural score.
#pragma once

#include <utility>
#include <vector>

#include "antiunify/scoring.hpp"
#include "runtime/function.hpp"

namespace kt {

// Index pairs (i, j), ordered by i: exhaustive search over permutations up to 7 arguments,
// greedy highest-score matching above. Both sequences must have the same length.
std::vector<std::pair<int, int>> best_pairing(const Items& a, const Items& b, Scorer& score);

extern const FuncDef structural_score_def, best_commutative_pairing_def;

}  // namespace kt
