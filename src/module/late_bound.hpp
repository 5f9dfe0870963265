// The names the assembly's code reads from the module namespace when it runs
// (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kModuleLateBound[] = {
    {"GRID_LOGSPACE", "module", LateBinding::Setting},
    {"GROQ_API_KEY", "module", LateBinding::Setting},
    {"Groq", "module", LateBinding::Import},
};

}  // namespace kt
