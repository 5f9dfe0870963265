// A named operator over text: a name, parameter names and a body. Calling it writes call text;
// `expand` inlines the body for every call; `from_structure` turns a generalised formula into
// an operator over p0, p1, ...: the methods of SymbolicOperator.
#pragma once

#include "runtime/py.hpp"

namespace kt::symbolic_operator {

object init(handle self, handle name, handle params, handle body);
// The call text `name(arg, ...)` of the arguments' str forms.
object call(handle self, handle args);
// `expr` with every call of this operator inlined, outermost first, until none is left.
object expand(handle self, handle expr);
// `[a.strip() for a in top-level comma-separated pieces]`, as `_split_args` splits.
object split_args(handle arg_str);
// An operator over p0, p1, ... from a formula whose variables are v<k> or φ<k>.
object from_structure(handle cls, handle name, handle structure);
object repr(handle self);

}  // namespace kt::symbolic_operator
