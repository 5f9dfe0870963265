// Concept discovery: an operator report parsed into an expression and its parameters, its
// invariants derived under time limits, grouped into families, reported and returned.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef discover_concept_def;

}  // namespace kt
