// The names this system gives symbols: φ-wildcards made by anti-unification.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// A wildcard: a sympy Symbol whose printed name starts with "φ".
bool is_wildcard(handle expr);

}  // namespace kt
