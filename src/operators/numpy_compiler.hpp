// Composition text compiled into a vectorised numpy function: operator calls expanded, math
// names rewritten to numpy's, the expression checked, then the function generated.
#pragma once

#include "runtime/classes.hpp"

namespace kt {

extern const ClassDef numpy_compiler_class;

// Called at import: the namespace compiled functions see as `np` (numpy, plus erf and erfc).
void init_compiler_namespace(handle module);

}  // namespace kt
