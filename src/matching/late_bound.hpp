// The names matching code reads from the module namespace when it runs (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kMatchingLateBound[] = {
    {"LibraryMatch", "matching", LateBinding::BuiltAtImport},
    {"MAX_WILDCARD_DENSITY", "antiunify", LateBinding::Setting},
};

}  // namespace kt
