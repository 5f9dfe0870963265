// Concept discovery: an operator report parsed into an expression and its parameters, its
// invariants derived under time limits, grouped into families, reported and returned.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The Concept of an operator report; every time-limited step it started has ended when it
// returns or raises.
object discover_concept(handle report, handle llm_client, handle verbose);

}  // namespace kt
