// A named operator over text: a name, parameter names and a body. Calling it writes call text;
// `expand` inlines the body for every call; `from_structure` turns a generalised formula into
// an operator over p0, p1, ...
#pragma once

#include "runtime/classes.hpp"

namespace kt {

extern const ClassDef symbolic_operator_class;

// `[a.strip() for a in top-level comma-separated pieces]`, as `_split_args` splits.
object split_args(handle arg_str);

}  // namespace kt
