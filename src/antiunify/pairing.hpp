// Matching the arguments of a commutative operator by structural score.
#pragma once

#include <utility>
#include <vector>

#include "antiunify/scoring.hpp"
#include "runtime/py.hpp"

namespace kt {

// Index pairs (i, j), ordered by i: exhaustive search over permutations up to 7 arguments,
// greedy highest-score matching above. Both sequences must have the same length.
std::vector<std::pair<int, int>> best_pairing(const Items& a, const Items& b, Scorer& score);

// `_structural_score`: how well two expressions pair, through a fresh node table.
double structural_score(handle a, handle b);
// `_best_commutative_pairing`: the pairing as a list of (a, b) tuples.
object best_commutative_pairing(handle a_args, handle b_args);

}  // namespace kt
