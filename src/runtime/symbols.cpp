#include "runtime/symbols.hpp"

#include "runtime/state.hpp"

namespace kt {

bool is_wildcard(handle expr) { return is_instance(expr, state().Symbol) && printed_starts_with(expr, "φ"); }

}  // namespace kt
