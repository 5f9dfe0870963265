// How detection combines a formula's scores into its novelty, and the defaults every
// declaration and path reads: novelty = w_structural * tree distance to the library
// + w_behavioral * behavioural distance + w_irreducibility * irreducibility / scale_irreducible
// + w_recurrence * recurrence / scale_recurrence + w_compression * compression / scale_compression.
#pragma once

namespace kt {

struct ScoreWeights {
    double structural = 1.0, behavioral = 1.0, irreducibility = 1.0, recurrence = 1.0,
           compression = 1.0;
    double scale_irreducible = 10.0, scale_recurrence = 10.0, scale_compression = 10.0;
};

inline constexpr ScoreWeights kDefaultScoreWeights{};

// Formulas scoring below this are no candidates.
inline constexpr double kDefaultNoveltyThreshold = 1.0;

}  // namespace kt
