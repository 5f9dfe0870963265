// Scores of a generalised formula and its cluster against the bank and the library:
// compositionality, behavioural distance, recurrence and compression.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef node_count_def, compositionality_score_def, log_compress_def,
    behavioral_distance_def, recurrence_strength_def, compression_gain_def;

}  // namespace kt
