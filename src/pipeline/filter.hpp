// Sorting detected candidates into novel, repeated and discarded structures.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef filter_candidates_def;

}  // namespace kt
