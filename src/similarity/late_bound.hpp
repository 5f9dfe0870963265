// The names similarity code reads from the module namespace when it runs (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kSimilarityLateBound[] = {
    {"similarity", "similarity", LateBinding::Replaceable},
    {"GRID", "descriptors", LateBinding::Setting},
    {"SequenceMatcher", "module", LateBinding::Import},
};

}  // namespace kt
