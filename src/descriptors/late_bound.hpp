// The names descriptors code reads from the module namespace when it runs (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kDescriptorsLateBound[] = {
    {"ExprDescriptor", "descriptors", LateBinding::BuiltAtImport},
    {"GRID", "descriptors", LateBinding::Setting},
    {"GRID_LINEAR", "descriptors", LateBinding::Setting},
};

}  // namespace kt
