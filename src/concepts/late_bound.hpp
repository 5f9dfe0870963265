// The names concept discovery code reads from the module namespace when it runs
// (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kConceptsLateBound[] = {
    {"groq_client", "module", LateBinding::Setting},
    {"GROQ_MODEL", "module", LateBinding::Setting},
};

}  // namespace kt
